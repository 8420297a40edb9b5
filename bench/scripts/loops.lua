-- Integer loops: nested counting loops with arithmetic, integer division,
-- remainder and comparisons; every value stays within 32 bits.
local sum = 0
local evens = 0
local n = 2000
for i = 1, n do
  local x = i
  for j = 1, 500 do
    x = (x * 31 + j) % 1000003
    if x % 2 == 0 then
      evens = evens + 1
    end
    sum = (sum + x // 7) % 1000003
  end
end
local w = 0
local k = 0
while k < 200000 do
  k = k + 1
  w = (w + (k % 1000) * k) % 65521
end
print('sum ' .. sum .. ' evens ' .. evens .. ' w ' .. w)
