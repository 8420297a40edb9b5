-- Particle system: emitters push sparks and smoke puffs every frame; sparks that
-- burn out or leave the screen are swap-removed (some burst into new sparks),
-- smoke is removed in place with table.remove while walking backwards.
local WIDTH = 64000
local GROUND = 46000
local FRAMES = 1000
local seed = 777
local function rand(n)
  seed = (seed * 1103 + 12345) % 1000003
  return seed % n
end
local sparks = {}
local smoke = {}
local emitters = {}
for i = 1, 8 do
  emitters[i] = {x = 3000 + i * 7000, y = 40000, dx = 40 + i * 5, rate = 2 + i % 4, spread = 200 + i * 40}
end
local function damp(v)
  if v < 0 then
    return -((-v * 31) // 32)
  end
  return (v * 31) // 32
end
local function emitSpark(x, y, spread, power)
  sparks[#sparks + 1] = {x = x, y = y, vx = rand(2 * spread + 1) - spread,
                         vy = -power - rand(power), life = 20 + rand(50), color = rand(16)}
end
local function emitSmoke(em)
  table.insert(smoke, {x = em.x, y = em.y, vx = rand(41) - 20, vy = -40 - rand(30), life = 60 + rand(60), size = 1})
end
local function moveEmitter(em)
  em.x = em.x + em.dx
  if em.x < 1000 or em.x > WIDTH - 1000 then
    em.dx = -em.dx
  end
end
local function updateSpark(p)
  p.vy = p.vy + 15
  p.vx = damp(p.vx)
  p.x = p.x + p.vx
  p.y = p.y + p.vy
  if p.y > GROUND then
    p.y = GROUND
    p.vy = -(p.vy // 2)
    p.life = p.life - 5
  end
  p.life = p.life - 1
  return p.life > 0 and p.x >= 0 and p.x < WIDTH
end
local function updateSmoke(p)
  p.x = p.x + p.vx
  p.y = p.y + p.vy
  p.vx = damp(p.vx)
  p.life = p.life - 1
  if p.life % 16 == 0 then
    p.size = p.size + 1
  end
  return p.life > 0
end

local spawned = 0
local bursts = 0
local removed = 0
local checksum = 0
local drawn = 0
local peak = 0
for frame = 1, FRAMES do
  for e = 1, #emitters do
    local em = emitters[e]
    moveEmitter(em)
    for k = 1, em.rate do
      emitSpark(em.x, em.y, em.spread, 300)
      spawned = spawned + 1
    end
    if frame % 2 == 0 then
      emitSmoke(em)
      spawned = spawned + 1
    end
  end
  local i = 1
  while i <= #sparks do
    local spark = sparks[i]
    if updateSpark(spark) then
      i = i + 1
    else
      if spark.color % 5 == 0 and spark.x >= 0 and spark.x < WIDTH then
        for k = 1, 3 do
          emitSpark(spark.x, spark.y, 120, 150)
        end
        bursts = bursts + 1
      end
      sparks[i] = sparks[#sparks]
      table.remove(sparks)
      removed = removed + 1
    end
  end
  for j = #smoke, 1, -1 do
    if not updateSmoke(smoke[j]) then
      table.remove(smoke, j)
      removed = removed + 1
    end
  end
  if #sparks + #smoke > peak then
    peak = #sparks + #smoke
  end
  if frame % 10 == 0 then
    for j = 1, #sparks do
      local spark = sparks[j]
      drawn = (drawn + spark.x // 100 + spark.y // 100 + spark.color) % 1000003
    end
    for j = 1, #smoke do
      local puff = smoke[j]
      drawn = (drawn + puff.x // 100 + puff.y // 100 + puff.size) % 1000003
    end
  end
  checksum = (checksum * 31 + #sparks + #smoke * 3) % 1000003
end
print('sparks ' .. #sparks .. ' smoke ' .. #smoke .. ' peak ' .. peak)
print('spawned ' .. spawned .. ' bursts ' .. bursts .. ' removed ' .. removed)
print('checksum ' .. checksum .. ' drawn ' .. drawn)
