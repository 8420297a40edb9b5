-- HUD text: every frame the score line, health and mana bars, the clock, the
-- party list, the inventory and the message log are rebuilt as strings with
-- concatenation, string.format and tostring of numbers.
local FRAMES = 100000
local seed = 31337
local function rand(n)
  seed = (seed * 1103 + 12345) % 1000003
  return seed % n
end
local function bar(value, max, width)
  local filled = value * width // max
  return '[' .. string.rep('#', filled) .. string.rep('-', width - filled) .. ']'
end
local function clock(frame)
  local tenths = frame * 10 // 60
  local seconds = tenths // 10
  return string.format('%02d:%02d.%d', seconds // 60, seconds % 60, tenths % 10)
end
local function memberLine(m)
  local pct = m.hp * 100 // m.maxHp
  local status = 'ok'
  if m.hp == 0 then
    status = 'down'
  elseif pct < 25 then
    status = 'low'
  end
  return string.format('%-8s %3d%% %-4s', m.name, pct, status) .. ' lv' .. m.level
end
local party = {}
local names = {'Ayla', 'Borin', 'Cass', 'Dunmore', 'Edda', 'Fenwick'}
for i = 1, #names do
  party[i] = {name = names[i], hp = 50 + i * 10, maxHp = 50 + i * 10, level = i}
end
local items = {}
local itemNames = {'potion', 'ether', 'arrow', 'bomb', 'key', 'gem', 'scroll', 'herb'}
for i = 1, #itemNames do
  items[i] = {name = itemNames[i], count = i}
end
local log = {}
local player = {score = 0, hi = 25000, hp = 120, maxHp = 120, mp = 40, maxMp = 40, x = 0, y = 0}
local totalLength = 0
local checksum = 0
local longest = 0
for frame = 1, FRAMES do
  player.score = player.score + rand(7)
  if player.score > player.hi then
    player.hi = player.score
  end
  player.hp = (player.hp + rand(5) - 2 + player.maxHp) % (player.maxHp + 1)
  player.mp = (player.mp + rand(3)) % (player.maxMp + 1)
  player.x = (player.x + rand(9)) % 4096
  player.y = (player.y + rand(5)) % 2048
  local member = party[frame % #party + 1]
  member.hp = (member.hp + rand(11)) % (member.maxHp + 1)
  if frame % 90 == 0 then
    local it = items[rand(#items) + 1]
    it.count = it.count + 1
    log[#log + 1] = 'Picked up ' .. it.name .. ' (' .. tostring(it.count) .. ')'
    if #log > 4 then
      table.remove(log, 1)
    end
  end
  local fps = 55 + rand(6)
  local lines = {}
  lines[1] = 'SCORE ' .. player.score .. '  HI ' .. player.hi
  lines[2] = string.format('HP %3d/%3d ', player.hp, player.maxHp) .. bar(player.hp, player.maxHp, 20)
  lines[3] = string.format('MP %3d/%3d ', player.mp, player.maxMp) .. bar(player.mp, player.maxMp, 10)
  lines[4] = 'TIME ' .. clock(frame) .. '  FPS ' .. tostring(fps) .. string.format(' (%.1f ms)', (10000 // fps) / 10)
  lines[5] = 'POS ' .. player.x .. ',' .. player.y .. string.format('  #%06x', (player.x * 4096 + player.y) % 16777216)
  for i = 1, #party do
    lines[#lines + 1] = memberLine(party[i])
  end
  local inv = ''
  for i = 1, #items do
    local it = items[i]
    if i > 1 then
      inv = inv .. ', '
    end
    inv = inv .. it.name .. ' x' .. it.count
  end
  lines[#lines + 1] = inv
  for i = 1, #log do
    lines[#lines + 1] = '> ' .. log[i]
  end
  local text = table.concat(lines, '\n')
  totalLength = (totalLength + #text) % 1000003
  if #text > longest then
    longest = #text
  end
  checksum = (checksum * 31 + string.byte(text, frame % #text + 1)) % 1000003
end
print('longest ' .. longest .. ' total ' .. totalLength .. ' checksum ' .. checksum)
print('score ' .. player.score .. ' hi ' .. player.hi .. ' log ' .. #log)
print(log[#log])
