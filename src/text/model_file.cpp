// The model file: "state|c:count,c:count" per state, lines joined by line
// feeds with none after the last. Nothing is escaped, so states and bytes
// holding "|", ",", ":" or a line feed do not come back as they were.
#include "TextModel.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>

#include <sys/stat.h>

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File openFile(const std::string& path, const char* mode) {
    return File(std::fopen(path.c_str(), mode), std::fclose);
}

// The text before the first `separator` of `text`, which keeps the rest after it.
std::string_view cutBefore(std::string_view& text, char separator) {
    const size_t end = text.find(separator);
    const std::string_view head = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    return head;
}

// A count is all decimal digits and fits a 32-bit int.
bool parseCount(std::string_view digits, int32_t& count) {
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    return error == std::errc() && end == digits.data() + digits.size();
}

// One "c:count" item; the model's next characters are single bytes.
bool parseItem(std::string_view item, uint8_t& next, int32_t& count) {
    const size_t colon = item.find(':');
    if (colon != 1) return false; // none, first, or a key of several bytes
    next = static_cast<uint8_t>(item[0]);
    return parseCount(item.substr(2), count);
}

} // namespace

std::string aiModelText(const AIModel& model) {
    std::string text;
    char digits[16];
    for (size_t s = 0; s < model.stateCount(); ++s) {
        if (s > 0) text.push_back('\n');
        text.append(model.state(s));
        text.push_back('|');
        const std::string_view nexts = model.nextBytes(s);
        for (size_t t = 0; t < nexts.size(); ++t) {
            if (t > 0) text.push_back(',');
            text.push_back(nexts[t]);
            text.push_back(':');
            const auto written = std::to_chars(digits, digits + sizeof digits, model.counts(s)[t]);
            text.append(digits, written.ptr);
        }
    }
    return text;
}

AIModel aiModelFromText(std::string_view text) {
    AIModelBuilder builder;
    while (!text.empty()) {
        std::string_view line = cutBefore(text, '\n');
        const size_t bar = line.find('|');
        if (bar == std::string_view::npos || bar == 0 || bar + 1 == line.size()) continue;
        const std::string_view state = line.substr(0, bar);
        std::string_view items = line.substr(bar + 1);
        size_t number = AIModel::npos; // added with its first count
        while (!items.empty()) {
            uint8_t next;
            int32_t count;
            if (!parseItem(cutBefore(items, ','), next, count)) continue;
            if (number == AIModel::npos) number = builder.addState(state);
            builder.setCount(number, next, count);
        }
    }
    return std::move(builder).finish();
}

bool aiSaveModelToPath(const AIModel& model, const std::string& path) {
    const File file = openFile(path, "wb");
    if (!file) return false;
    const std::string text = aiModelText(model);
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    return written && std::fflush(file.get()) == 0;
}

bool aiLoadModelFromPath(AIModel& model, const std::string& path) {
    std::string text;
    if (!aiReadFile(path, text)) return false;
    model = aiModelFromText(text);
    return true;
}

bool aiReadFile(const std::string& path, std::string& text) {
    const File file = openFile(path, "rb");
    if (!file) return false;
    std::string read;
    struct stat info {};
    if (fstat(fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode)) read.reserve(info.st_size);
    char block[1 << 16];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) read.append(block, got);
    if (std::ferror(file.get())) return false;
    text = std::move(read);
    return true;
}
