-- String building: concatenation with numbers, joining parts, formatting,
-- slicing, case mapping and byte access.
local checksum = 0
local longest = 0
for r = 1, 16000 do
  local parts = {}
  for i = 1, 60 do
    parts[i] = 'k' .. i .. '=' .. (i * r % 97)
  end
  local joined = table.concat(parts, ';')
  local word = ''
  for j = 1, 40 do
    word = word .. string.char(97 + (j * r) % 26)
  end
  local line = string.format('%s|%05d|%s', string.upper(string.sub(word, 1, 8)), r, word)
  local text = joined .. '#' .. line .. string.rep('-', r % 7)
  if #text > longest then
    longest = #text
  end
  checksum = (checksum * 7 + #text + string.byte(text, #text // 2) + string.byte(line, 3)) % 1000003
end
print('longest ' .. longest .. ' checksum ' .. checksum)
