-- State machine: guards whose states are functions returning an event name; the
-- transition table maps (state, event) to the next state, and enter/exit hooks
-- reset timers and count visits, all through many short calls per tick.
local SIZE = 200
local TICKS = 8000
local seed = 5150
local function rand(n)
  seed = (seed * 1103 + 12345) % 1000003
  return seed % n
end
local function dist2(g, x, y)
  local dx = g.x - x
  local dy = g.y - y
  return dx * dx + dy * dy
end
local function canSee(g, world)
  return dist2(g, world.px, world.py) < g.sight * g.sight
end
local function heard(g, world)
  return world.noise > 90 and dist2(g, world.px, world.py) < 3600
end
local function inReach(g, world)
  return dist2(g, world.px, world.py) <= 4
end
local function sign(v)
  if v > 0 then
    return 1
  elseif v < 0 then
    return -1
  end
  return 0
end
local function clampCoord(v)
  if v < 1 then
    return 1
  elseif v > SIZE then
    return SIZE
  end
  return v
end
local function stepToward(g, x, y, speed)
  g.x = clampCoord(g.x + sign(x - g.x) * speed)
  g.y = clampCoord(g.y + sign(y - g.y) * speed)
end

local states = {}
function states.idle(g, world)
  g.timer = g.timer - 1
  if canSee(g, world) then
    return 'spotted'
  elseif heard(g, world) then
    return 'noise'
  elseif g.timer <= 0 then
    return 'bored'
  end
end
function states.patrol(g, world)
  if g.x == g.wayX and g.y == g.wayY then
    g.wayX = 1 + rand(SIZE)
    g.wayY = 1 + rand(SIZE)
  end
  stepToward(g, g.wayX, g.wayY, 1)
  g.timer = g.timer - 1
  if canSee(g, world) then
    return 'spotted'
  elseif heard(g, world) then
    return 'noise'
  elseif g.timer <= 0 then
    return 'rest'
  end
end
function states.search(g, world)
  stepToward(g, g.lastX + rand(9) - 4, g.lastY + rand(9) - 4, 1)
  g.timer = g.timer - 1
  if canSee(g, world) then
    return 'spotted'
  elseif g.timer <= 0 then
    return 'giveup'
  end
end
function states.chase(g, world)
  stepToward(g, world.px, world.py, 2)
  g.stamina = g.stamina - 1
  if inReach(g, world) then
    return 'inRange'
  elseif not canSee(g, world) then
    return 'lost'
  elseif g.stamina <= 0 then
    return 'tired'
  end
end
function states.attack(g, world)
  world.damage = world.damage + 1
  if rand(4) == 0 then
    g.hp = g.hp - 1
  end
  if g.hp <= 2 then
    return 'hurt'
  elseif rand(25) == 0 then
    return 'stunned'
  elseif not inReach(g, world) then
    return 'outOfRange'
  end
end
function states.flee(g, world)
  stepToward(g, 2 * g.x - world.px, 2 * g.y - world.py, 2)
  g.timer = g.timer - 1
  if g.timer <= 0 then
    return 'safe'
  end
end
function states.stunned(g, world)
  g.timer = g.timer - 1
  if g.timer <= 0 then
    return 'recover'
  end
end

local transitions = {
  idle = {spotted = 'chase', noise = 'search', bored = 'patrol'},
  patrol = {spotted = 'chase', noise = 'search', rest = 'idle'},
  search = {spotted = 'chase', giveup = 'patrol'},
  chase = {inRange = 'attack', lost = 'search', tired = 'idle'},
  attack = {outOfRange = 'chase', hurt = 'flee', stunned = 'stunned'},
  flee = {safe = 'idle'},
  stunned = {recover = 'search'},
}

local onEnter = {}
function onEnter.idle(g, world)
  g.timer = 10 + rand(20)
end
function onEnter.patrol(g, world)
  g.timer = 60 + rand(60)
end
function onEnter.search(g, world)
  g.lastX = world.px
  g.lastY = world.py
  g.timer = 30
end
function onEnter.chase(g, world)
  g.stamina = 40 + rand(40)
end
function onEnter.flee(g, world)
  g.timer = 25
end
function onEnter.stunned(g, world)
  g.timer = 8
end
local onExit = {}
function onExit.attack(g, world)
  g.attacks = g.attacks + 1
end
function onExit.flee(g, world)
  g.hp = 10
end

local stateNames = {'idle', 'patrol', 'search', 'chase', 'attack', 'flee', 'stunned'}
local entered = {}
for i = 1, #stateNames do
  entered[stateNames[i]] = 0
end
local function change(g, newState, world)
  local leave = onExit[g.state]
  if leave then
    leave(g, world)
  end
  g.state = newState
  entered[newState] = entered[newState] + 1
  local enter = onEnter[newState]
  if enter then
    enter(g, world)
  end
end
local function think(g, world)
  local event = states[g.state](g, world)
  if event then
    local nextState = transitions[g.state][event]
    if nextState then
      change(g, nextState, world)
      return 1
    end
  end
  return 0
end

local arena = {px = SIZE // 2, py = SIZE // 2, noise = 0, damage = 0}
local guards = {}
for i = 1, 300 do
  guards[i] = {x = 1 + rand(SIZE), y = 1 + rand(SIZE), wayX = 1, wayY = 1, lastX = 1, lastY = 1,
               sight = 12 + rand(12), hp = 10, timer = 1 + rand(30), stamina = 0, attacks = 0, state = 'idle'}
end
local changes = 0
local checksum = 0
for tick = 1, TICKS do
  arena.px = clampCoord(arena.px + rand(3) - 1)
  arena.py = clampCoord(arena.py + rand(3) - 1)
  arena.noise = rand(100)
  for i = 1, #guards do
    changes = changes + think(guards[i], arena)
  end
  if tick % 100 == 0 then
    for i = 1, #guards do
      local guard = guards[i]
      checksum = (checksum * 3 + guard.x * 7 + guard.y + guard.hp) % 1000003
    end
  end
end
local attacks = 0
for i = 1, #guards do
  attacks = attacks + guards[i].attacks
end
local counts = {}
for i = 1, #stateNames do
  counts[i] = stateNames[i] .. '=' .. entered[stateNames[i]]
end
print(table.concat(counts, ' '))
print('changes ' .. changes .. ' attacks ' .. attacks .. ' damage ' .. arena.damage .. ' checksum ' .. checksum)
