-- String-keyed tables: counting words in a table keyed by strings, records with
-- named fields, and walks over every key.
local counts = {}
local seed = 12345
for i = 1, 600000 do
  seed = (seed * 1103 + 12345) % 65521
  local key = 'w' .. (seed % 1500)
  counts[key] = (counts[key] or 0) + 1
end
local distinct = 0
local most = 0
for k, v in pairs(counts) do
  distinct = distinct + 1
  if v > most then
    most = v
  end
end
local points = {}
for i = 1, 2000 do
  points[i] = {x = i % 17, y = i % 23, name = 'p' .. i, hits = 0}
end
local acc = 0
for round = 1, 90 do
  for i = 1, 2000 do
    local p = points[i]
    p.x = (p.x + p.y + round) % 1009
    p.hits = p.hits + 1
    acc = (acc + p.x * 3 + #p.name) % 1000003
  end
end
local lookups = 0
for i = 1, 300000 do
  if counts['w' .. (i % 2000)] then
    lookups = lookups + 1
  end
end
print('distinct ' .. distinct .. ' most ' .. most .. ' acc ' .. acc .. ' hits ' .. points[7].hits .. ' lookups ' .. lookups)
