-- Entity updates: every frame spawns enemies as records with string-keyed fields,
-- moves them through short functions, turns contacts with the hero into hit
-- events and drops the dead and the expired into a fresh list.
local WIDTH = 64000
local HEIGHT = 48000
local FRAMES = 2500
local seed = 4242
local function rand(n)
  seed = (seed * 1103 + 12345) % 1000003
  return seed % n
end
local kinds = {'grunt', 'heavy', 'swift'}
local function spawn(kind)
  local speed = 300
  if kind == 'swift' then
    speed = 700
  end
  return {x = rand(WIDTH), y = rand(HEIGHT), vx = rand(2 * speed + 1) - speed,
          vy = rand(2 * speed + 1) - speed, hp = 20 + rand(60), kind = kind, age = 0}
end
local function gravity(e)
  if e.kind == 'heavy' then
    e.vy = e.vy + 9
  end
end
local function move(e)
  e.x = e.x + e.vx
  e.y = e.y + e.vy
end
local function bounce(e)
  if e.x < 0 then
    e.x = -e.x
    e.vx = -e.vx
  elseif e.x >= WIDTH then
    e.x = 2 * WIDTH - 2 - e.x
    e.vx = -e.vx
  end
  if e.y < 0 then
    e.y = -e.y
    e.vy = -e.vy
  elseif e.y >= HEIGHT then
    e.y = 2 * HEIGHT - 2 - e.y
    e.vy = -e.vy
  end
end
local function distance(p, q)
  local dx = p.x - q.x
  if dx < 0 then
    dx = -dx
  end
  local dy = p.y - q.y
  if dy < 0 then
    dy = -dy
  end
  return dx + dy
end
local function updateEntity(e, target, events)
  gravity(e)
  move(e)
  bounce(e)
  e.age = e.age + 1
  if distance(e, target) < 6000 then
    events[#events + 1] = {who = e, amount = 3 + e.age % 5}
  end
end
local function hurt(e, amount)
  e.hp = e.hp - amount
  return e.hp <= 0
end
local function steer(h, frame)
  if frame % 50 == 1 then
    h.tx = rand(WIDTH)
    h.ty = rand(HEIGHT)
  end
  if h.x < h.tx then
    h.x = h.x + 250
  elseif h.x > h.tx + 250 then
    h.x = h.x - 250
  end
  if h.y < h.ty then
    h.y = h.y + 250
  elseif h.y > h.ty + 250 then
    h.y = h.y - 250
  end
end

local hero = {x = WIDTH // 2, y = HEIGHT // 2, tx = 0, ty = 0, hp = 1000, score = 0}
local ents = {}
for i = 1, 400 do
  ents[i] = spawn(kinds[rand(3) + 1])
end
local kills = 0
local expired = 0
local hits = 0
local checksum = 0
for frame = 1, FRAMES do
  for s = 1, 6 do
    ents[#ents + 1] = spawn(kinds[rand(3) + 1])
  end
  steer(hero, frame)
  local frameEvents = {}
  for i = 1, #ents do
    updateEntity(ents[i], hero, frameEvents)
  end
  for i = 1, #frameEvents do
    local ev = frameEvents[i]
    hits = hits + 1
    if hurt(ev.who, ev.amount) then
      hero.score = hero.score + 10
    end
  end
  local alive = {}
  for i = 1, #ents do
    local ent = ents[i]
    if ent.hp <= 0 then
      kills = kills + 1
    elseif ent.age >= 240 then
      expired = expired + 1
    else
      alive[#alive + 1] = ent
    end
  end
  ents = alive
  checksum = (checksum * 7 + #ents + hero.x % 1000 + hero.y % 977) % 1000003
end
local spread = 0
for i = 1, #ents do
  local ent = ents[i]
  spread = (spread + ent.x % 1000 + ent.y % 1000 + ent.hp) % 1000003
end
print('alive ' .. #ents .. ' kills ' .. kills .. ' expired ' .. expired .. ' hits ' .. hits)
print('score ' .. hero.score .. ' checksum ' .. checksum .. ' spread ' .. spread)
