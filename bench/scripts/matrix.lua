-- Array work: integer matrix products over arrays of arrays, reduced modulo a prime.
local function makeMatrix(n, seed)
  local m = {}
  for i = 1, n do
    local row = {}
    for j = 1, n do
      row[j] = (i * 37 + j * 11 + seed) % 101
    end
    m[i] = row
  end
  return m
end
local function multiply(a, b, n)
  local c = {}
  for i = 1, n do
    local ai = a[i]
    local row = {}
    for j = 1, n do
      local s = 0
      for k = 1, n do
        s = s + ai[k] * b[k][j]
      end
      row[j] = s % 10007
    end
    c[i] = row
  end
  return c
end
local size = 100
local ma = makeMatrix(size, 1)
local mb = makeMatrix(size, 2)
local mc = multiply(ma, mb, size)
mc = multiply(mc, ma, size)
mc = multiply(mc, mb, size)
local check = 0
for i = 1, size do
  for j = 1, size do
    check = (check * 31 + mc[i][j]) % 1000003
  end
end
print('matrix ' .. size .. ' check ' .. check .. ' corner ' .. mc[size][size])
