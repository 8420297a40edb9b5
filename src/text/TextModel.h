// Training a model on a corpus, generating text from it, and the model file:
// one line per state, "state|c:count,c:count", lines joined by line feeds.
// Plain C++ data only, so that all of it runs on worker threads as well.
#pragma once

#include "AIModel.h"

#include <cstdint>
#include <string>
#include <string_view>

// Counts, for every `order` bytes of the text, the byte after them. The text
// wraps around: its first bytes follow its last, so every state goes on.
AIModel aiTrainModel(std::string_view text, int32_t order);

// At most genLength bytes drawn from the model after the seed (or after a
// state picked at random), ending early at a state the model does not
// continue or at the escape text. Uses the calling thread's own generator.
std::string aiGenerateTextImpl(bool useSeed, const std::string& seed, const AIModel& model, int32_t genLength,
                               bool useEscape, const std::string& escapeCharacter, int32_t order);

// The file text of a model, and a model read back from such text. Reading
// skips what it cannot use: a line without a state or transitions, an item
// without a byte or a count, a count that is not a decimal 32-bit number.
std::string aiModelText(const AIModel& model);
AIModel aiModelFromText(std::string_view text);

bool aiSaveModelToPath(const AIModel& model, const std::string& path);
// False, with `model` untouched, when the file cannot be read.
bool aiLoadModelFromPath(AIModel& model, const std::string& path);
// The whole file, in binary.
bool aiReadFile(const std::string& path, std::string& text);
