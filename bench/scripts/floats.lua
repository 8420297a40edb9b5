-- Float math: the spectral norm of an infinite matrix (float multiply, add and
-- divide) and a midpoint-rule integral using math.sin, math.cos and math.sqrt.
-- Results are printed rounded, so the text does not depend on the width of the
-- float type.
local function evalA(ai, aj)
  local ij = ai + aj
  return 1.0 / (ij * (ij + 1) // 2 + ai + 1)
end
local function multiplyAv(vin, vout, n)
  for i = 1, n do
    local s = 0.0
    for j = 1, n do
      s = s + evalA(i - 1, j - 1) * vin[j]
    end
    vout[i] = s
  end
end
local function multiplyAtv(vin, vout, n)
  for i = 1, n do
    local s = 0.0
    for j = 1, n do
      s = s + evalA(j - 1, i - 1) * vin[j]
    end
    vout[i] = s
  end
end
local function multiplyAtAv(vin, vout, vtmp, n)
  multiplyAv(vin, vtmp, n)
  multiplyAtv(vtmp, vout, n)
end
local size = 100
local u = {}
local v = {}
local t = {}
for k = 1, size do
  u[k] = 1.0
  v[k] = 0.0
  t[k] = 0.0
end
for round = 1, 10 do
  multiplyAtAv(u, v, t, size)
  multiplyAtAv(v, u, t, size)
end
local vBv = 0.0
local vv = 0.0
for k = 1, size do
  vBv = vBv + u[k] * v[k]
  vv = vv + v[k] * v[k]
end
print(string.format('spectral norm %.5f', math.sqrt(vBv / vv)))
local steps = 300000
local chunk = 1000
local h = 4.0 / steps
local total = 0.0
local k = 0
while k < steps do
  local part = 0.0
  for c = 1, chunk do
    local x = (k + c - 0.5) * h
    part = part + math.sin(x) * math.cos(x) + math.sqrt(x)
  end
  total = total + part * h
  k = k + chunk
end
print(string.format('integral %.3f', total))
