-- Sorting: table.sort on integers without a comparator, with a comparator
-- function (descending order), and on strings without a comparator.
local function descending(x, y)
  return x > y
end
local function byLength(x, y)
  if #x ~= #y then
    return #x < #y
  end
  return x < y
end
local count = 80000
local nums = {}
local copy = {}
local seed = 7
for i = 1, count do
  seed = (seed * 1103 + 12345) % 1000003
  nums[i] = seed
  copy[i] = seed
end
local words = {}
for i = 1, 20000 do
  words[i] = 'w' .. ((i * 7919) % 20011)
end
table.sort(nums)
table.sort(copy, descending)
table.sort(words)
local check = 0
local ordered = true
for i = 1, count do
  if nums[i] ~= copy[count + 1 - i] then
    ordered = false
  end
  if i > 1 and nums[i - 1] > nums[i] then
    ordered = false
  end
  check = (check * 31 + nums[i] % 1000) % 1000003
end
local words2 = {}
for i = 1, 20000 do
  words2[i] = words[i]
end
table.sort(words2, byLength)
print('min ' .. nums[1] .. ' max ' .. nums[count] .. ' ordered ' .. tostring(ordered) .. ' check ' .. check)
print('words ' .. words[1] .. ' ' .. words[20000] .. ' by length ' .. words2[1] .. ' ' .. words2[20000])
