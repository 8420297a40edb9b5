-- Behaviours: actors keep their current behaviour and their hit reaction as
-- function values taken from behaviour tables, timers keep a callback with its
-- argument, and an event bus calls every listener registered for an event.
local SIZE = 20000
local TICKS = 7000
local seed = 99
local function rand(n)
  seed = (seed * 1103 + 12345) % 1000003
  return seed % n
end
local function clamp(v, lo, hi)
  if v < lo then
    return lo
  end
  if v > hi then
    return hi
  end
  return v
end
local function step(d, s)
  if d > s then
    return s
  end
  if d < -s then
    return -s
  end
  return d
end
local function near(a, p, r)
  local dx = a.x - p.x
  local dy = a.y - p.y
  return dx * dx + dy * dy < r * r
end

local listeners = {}
local function on(name, fn)
  local list = listeners[name]
  if not list then
    list = {}
    listeners[name] = list
  end
  list[#list + 1] = fn
end
local function emit(name, a, b)
  local list = listeners[name]
  if list then
    for i = 1, #list do
      list[i](a, b)
    end
  end
end
local timers = {}
local function schedule(at, fn, arg)
  timers[#timers + 1] = {at = at, fn = fn, arg = arg}
end

local behaviours = {}
function behaviours.wander(a, world)
  a.x = clamp(a.x + rand(2 * a.speed + 1) - a.speed, 0, SIZE)
  a.y = clamp(a.y + rand(2 * a.speed + 1) - a.speed, 0, SIZE)
end
function behaviours.chase(a, world)
  local p = world.hero
  a.x = a.x + step(p.x - a.x, a.speed)
  a.y = a.y + step(p.y - a.y, a.speed)
  if not near(a, p, 6000) then
    a.think = behaviours[a.brain]
  end
end
function behaviours.flee(a, world)
  local p = world.hero
  a.x = clamp(a.x - step(p.x - a.x, a.speed), 0, SIZE)
  a.y = clamp(a.y - step(p.y - a.y, a.speed), 0, SIZE)
  a.calm = a.calm - 1
  if a.calm <= 0 then
    a.think = behaviours[a.brain]
  end
end
function behaviours.patrol(a, world)
  local wp = a.route[a.leg]
  a.x = a.x + step(wp.x - a.x, a.speed)
  a.y = a.y + step(wp.y - a.y, a.speed)
  if a.x == wp.x and a.y == wp.y then
    a.leg = a.leg % #a.route + 1
  end
end
function behaviours.guard(a, world)
  if near(a, world.hero, 2500) then
    a.think = behaviours.chase
    emit('alarm', a, world.tick)
  else
    a.x = a.x + step(a.homeX - a.x, a.speed)
    a.y = a.y + step(a.homeY - a.y, a.speed)
  end
end

local reactions = {}
function reactions.angry(a, amount)
  a.hp = a.hp - amount
  a.think = behaviours.chase
end
function reactions.scared(a, amount)
  a.hp = a.hp - amount
  a.calm = 25
  a.think = behaviours.flee
end
function reactions.stoic(a, amount)
  a.hp = a.hp - amount // 2
end

local stats = {hits = 0, damage = 0, deaths = 0, respawns = 0, alarms = 0, heals = 0}
local level = {hero = {x = 0, y = 0}, tick = 0, sum = 0}
local function respawn(a, now)
  a.dead = false
  a.hp = a.maxHp
  a.x = rand(SIZE)
  a.y = rand(SIZE)
  a.think = behaviours[a.brain]
  stats.respawns = stats.respawns + 1
end
local function regen(a, now)
  if a.dead or a.hp >= a.maxHp then
    a.healing = false
    return
  end
  a.hp = a.hp + 2
  stats.heals = stats.heals + 1
  schedule(now + 5, regen, a)
end
local function countHit(a, amount)
  stats.hits = stats.hits + 1
  stats.damage = stats.damage + amount
end
local function reactHit(a, amount)
  a.onHit(a, amount)
  if not a.healing then
    a.healing = true
    schedule(level.tick + 20, regen, a)
  end
end
local function checkDeath(a, amount)
  if a.hp <= 0 and not a.dead then
    a.dead = true
    emit('death', a, amount)
  end
end
local function countDeath(a, amount)
  stats.deaths = stats.deaths + 1
end
local function scheduleRespawn(a, amount)
  schedule(level.tick + 30 + rand(30), respawn, a)
end
local function countAlarm(a, when)
  stats.alarms = stats.alarms + 1
end
local function tally(a, world)
  world.sum = (world.sum + a.x + a.y * 3 + a.hp) % 1000003
end
local function forEach(list, fn, ctx)
  for i = 1, #list do
    fn(list[i], ctx)
  end
end
on('hit', countHit)
on('hit', reactHit)
on('hit', checkDeath)
on('death', countDeath)
on('death', scheduleRespawn)
on('alarm', countAlarm)

local brains = {'wander', 'patrol', 'guard'}
local moods = {'angry', 'scared', 'stoic'}
local actors = {}
for i = 1, 400 do
  local hx = rand(SIZE)
  local hy = rand(SIZE)
  local route = {}
  for k = 1, 4 do
    route[k] = {x = clamp(hx + rand(4001) - 2000, 0, SIZE), y = clamp(hy + rand(4001) - 2000, 0, SIZE)}
  end
  local brain = brains[i % 3 + 1]
  actors[i] = {x = hx, y = hy, homeX = hx, homeY = hy, speed = 40 + rand(80), hp = 30, maxHp = 30,
               brain = brain, think = behaviours[brain], onHit = reactions[moods[(i // 3) % 3 + 1]],
               route = route, leg = 1, calm = 0, dead = false, healing = false}
end

local hero = level.hero
for tick = 1, TICKS do
  level.tick = tick
  local phase = tick % 400
  if phase < 100 then
    hero.x = phase * 200
  elseif phase < 200 then
    hero.y = (phase - 100) * 200
  elseif phase < 300 then
    hero.x = (300 - phase) * 200
  else
    hero.y = (400 - phase) * 200
  end
  for i = 1, #actors do
    local act = actors[i]
    if not act.dead then
      act.think(act, level)
      if near(act, hero, 1500) then
        emit('hit', act, 1 + rand(6))
      end
    end
  end
  local slot = 1
  while slot <= #timers do
    local timer = timers[slot]
    if timer.at <= tick then
      timers[slot] = timers[#timers]
      table.remove(timers)
      timer.fn(timer.arg, tick)
    else
      slot = slot + 1
    end
  end
  if tick % 10 == 0 then
    forEach(actors, tally, level)
  end
end
print('hits ' .. stats.hits .. ' damage ' .. stats.damage .. ' deaths ' .. stats.deaths .. ' respawns ' .. stats.respawns)
print('alarms ' .. stats.alarms .. ' heals ' .. stats.heals .. ' timers ' .. #timers .. ' sum ' .. level.sum)
