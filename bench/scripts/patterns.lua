-- Patterns: string.gsub, string.gmatch, string.find and string.match
-- with character classes and captures over generated lines of text.
local digitsTotal = 0
local wordCount = 0
local replacedLength = 0
local keySum = 0
local keyLetters = 0
local swapped = 0
for i = 1, 50000 do
  local line = 'item' .. i .. ' costs ' .. (i * 7 % 100) .. ' coins, code=' .. (i * 13 % 1000) .. ' in box ' .. (i % 37)
  local replaced = string.gsub(line, '%d+', '#')
  replacedLength = replacedLength + #replaced
  swapped = swapped + #string.gsub(line, '(%a+)=(%d+)', '%2:%1')
  for word in string.gmatch(line, '(%a+)') do
    wordCount = wordCount + 1
  end
  local pos = 1
  local first, last = string.find(line, '%d+', pos)
  while first do
    digitsTotal = (digitsTotal + tonumber(string.sub(line, first, last))) % 1000003
    pos = last + 1
    first, last = string.find(line, '%d+', pos)
  end
  local key, value = string.match(line, '(%a+)=(%d+)')
  if key then
    keyLetters = keyLetters + #key
    keySum = keySum + tonumber(value)
  end
end
print('words ' .. wordCount .. ' digits ' .. digitsTotal .. ' replaced ' .. replacedLength .. ' keys ' .. keyLetters .. ' ' .. keySum .. ' swapped ' .. swapped)
