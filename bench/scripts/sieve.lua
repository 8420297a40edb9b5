-- Array work: the sieve of Eratosthenes, repeated, over a flat array of booleans.
local function sieve(n)
  local flags = {}
  for i = 1, n do
    flags[i] = true
  end
  flags[1] = false
  local p = 2
  while p * p <= n do
    if flags[p] then
      for m = p * p, n, p do
        flags[m] = false
      end
    end
    p = p + 1
  end
  local count = 0
  local last = 0
  for i = 1, n do
    if flags[i] then
      count = count + 1
      last = i
    end
  end
  return count, last
end
local total = 0
local count = 0
local last = 0
for round = 1, 3 do
  count, last = sieve(300000 + round * 100000)
  total = total + count
end
print('primes ' .. count .. ' largest ' .. last .. ' total ' .. total)
