-- Tile map: a cave grid (rows of tile arrays) smoothed by neighbour counts, then
-- each turn the field of view around the hero (line of sight through the tiles),
-- a flood-fill distance map that monsters walk down, and the hero's path to a goal.
local W = 120
local H = 80
local TURNS = 1500
local RADIUS = 8
local seed = 2024
local function rand(n)
  seed = (seed * 1103 + 12345) % 1000003
  return seed % n
end
local DX = {1, -1, 0, 0}
local DY = {0, 0, 1, -1}
local function newGrid(value)
  local grid = {}
  for y = 1, H do
    local row = {}
    for x = 1, W do
      row[x] = value
    end
    grid[y] = row
  end
  return grid
end
local function wallsAround(grid, x, y)
  local count = 0
  for ny = y - 1, y + 1 do
    local row = grid[ny]
    for nx = x - 1, x + 1 do
      if row[nx] == 1 then
        count = count + 1
      end
    end
  end
  return count
end
local function smooth(grid)
  local out = newGrid(1)
  for y = 2, H - 1 do
    local row = out[y]
    for x = 2, W - 1 do
      if wallsAround(grid, x, y) >= 5 then
        row[x] = 1
      else
        row[x] = 0
      end
    end
  end
  return out
end
local function flood(grid, dist, sx, sy)
  for y = 1, H do
    local row = dist[y]
    for x = 1, W do
      row[x] = -1
    end
  end
  local qx = {sx}
  local qy = {sy}
  dist[sy][sx] = 0
  local head = 1
  while head <= #qx do
    local x = qx[head]
    local y = qy[head]
    head = head + 1
    local d = dist[y][x] + 1
    for k = 1, 4 do
      local nx = x + DX[k]
      local ny = y + DY[k]
      if grid[ny][nx] == 0 and dist[ny][nx] < 0 then
        dist[ny][nx] = d
        qx[#qx + 1] = nx
        qy[#qy + 1] = ny
      end
    end
  end
  return #qx
end
local function downhill(dist, x, y)
  local best = dist[y][x]
  local bx = x
  local by = y
  for k = 1, 4 do
    local nx = x + DX[k]
    local ny = y + DY[k]
    local d = dist[ny][nx]
    if d >= 0 and d < best then
      best = d
      bx = nx
      by = ny
    end
  end
  return bx, by
end
local function lineOfSight(grid, x0, y0, x1, y1)
  local dx = x1 - x0
  local sx = 1
  if dx < 0 then
    dx = -dx
    sx = -1
  end
  local dy = y1 - y0
  local sy = 1
  if dy < 0 then
    dy = -dy
    sy = -1
  end
  local err = dx - dy
  local x = x0
  local y = y0
  while x ~= x1 or y ~= y1 do
    if grid[y][x] == 1 then
      return false
    end
    local e2 = 2 * err
    if e2 > -dy then
      err = err - dy
      x = x + sx
    end
    if e2 < dx then
      err = err + dx
      y = y + sy
    end
  end
  return true
end
local function randomFloor(grid)
  while true do
    local x = 2 + rand(W - 2)
    local y = 2 + rand(H - 2)
    if grid[y][x] == 0 then
      return x, y
    end
  end
end

local map = newGrid(1)
for y = 2, H - 1 do
  for x = 2, W - 1 do
    if rand(100) < 45 then
      map[y][x] = 1
    else
      map[y][x] = 0
    end
  end
end
for pass = 1, 4 do
  map = smooth(map)
end
local floors = 0
for y = 1, H do
  for x = 1, W do
    if map[y][x] == 0 then
      floors = floors + 1
    end
  end
end

local seen = newGrid(0)
local toHero = newGrid(-1)
local toGoal = newGrid(-1)
local heroX, heroY = randomFloor(map)
local goalX, goalY = heroX, heroY
local monsters = {}
for i = 1, 30 do
  local mx, my = randomFloor(map)
  monsters[i] = {x = mx, y = my}
end
local visibleTotal = 0
local shade = 0
local goals = 0
local caught = 0
local flooded = 0
for turn = 1, TURNS do
  if heroX == goalX and heroY == goalY then
    goals = goals + 1
    repeat
      goalX, goalY = randomFloor(map)
      flooded = flooded + flood(map, toGoal, goalX, goalY)
    until toGoal[heroY][heroX] > 0
  end
  heroX, heroY = downhill(toGoal, heroX, heroY)
  for y = heroY - RADIUS, heroY + RADIUS do
    if y >= 1 and y <= H then
      local seenRow = seen[y]
      for x = heroX - RADIUS, heroX + RADIUS do
        if x >= 1 and x <= W and lineOfSight(map, heroX, heroY, x, y) then
          visibleTotal = visibleTotal + 1
          seenRow[x] = 1
          if map[y][x] == 0 and x > 1 and x < W and y > 1 and y < H then
            shade = shade + wallsAround(map, x, y)
          end
        end
      end
    end
  end
  if turn % 3 == 1 then
    flooded = flooded + flood(map, toHero, heroX, heroY)
  end
  for i = 1, #monsters do
    local mon = monsters[i]
    if toHero[mon.y][mon.x] >= 0 then
      mon.x, mon.y = downhill(toHero, mon.x, mon.y)
    end
    if mon.x == heroX and mon.y == heroY then
      caught = caught + 1
      mon.x, mon.y = randomFloor(map)
    end
  end
end
local explored = 0
for y = 1, H do
  local row = seen[y]
  for x = 1, W do
    explored = explored + row[x]
  end
end
print('floors ' .. floors .. ' explored ' .. explored .. ' visible ' .. visibleTotal .. ' shade ' .. shade)
print('goals ' .. goals .. ' caught ' .. caught .. ' flooded ' .. flooded .. ' hero ' .. heroX .. ',' .. heroY)
