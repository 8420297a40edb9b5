// The byte-string functions of the `string` table (other than patterns and
// format), toNumber, and the `utf8` table. Indexes are 1-based byte indexes and
// negative ones count from the end.
#include "lib_support.h"

#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using library::fail;

// A negative index counts from the end: -1 is the last byte.
int64_t fromEnd(int64_t index, size_t length) {
    return index < 0 ? static_cast<int64_t>(length) + index + 1 : index;
}

std::string mapBytes(const std::string& s, int (*map)(int)) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(map(static_cast<unsigned char>(c)));
    return out;
}

DirectFunction caseMapping(const char* message, int (*map)(int)) {
    return [message, map](std::span<const Variable> args) {
        if (args.size() != 1 || args[0].type != VarType::String) fail(message);
        return Variable(mapBytes(args[0].asString(), map));
    };
}

Variable substring(std::span<const Variable> args) {
    if (args.size() < 2 || args.size() > 3 || args[0].type != VarType::String)
        fail("string['sub'](s, i[, j]) requires a string and 1-2 numeric indices");
    const std::string& s = args[0].asString();
    const int64_t length = static_cast<int64_t>(s.size());
    int64_t first = ScriptEngine::toInt(args[1]);
    int64_t last = args.size() > 2 ? ScriptEngine::toInt(args[2]) : 0;
    first = first == 0 ? 1 : fromEnd(first, s.size());
    last = last == 0 ? length : fromEnd(last, s.size());
    first = std::max<int64_t>(first, 1);
    last = std::min(last, length);
    if (last < first) return Variable("");
    return Variable(s.substr(static_cast<size_t>(first - 1), static_cast<size_t>(last - first + 1)));
}

Variable bytesOf(std::span<const Variable> args) {
    if (args.empty() || args[0].type != VarType::String)
        fail("string['byte'](s[, i[, j]]) requires a string");
    const std::string& s = args[0].asString();
    if (s.empty()) return {};
    int64_t first = args.size() > 1 ? ScriptEngine::toInt(args[1]) : 1;
    int64_t last = args.size() > 2 ? ScriptEngine::toInt(args[2]) : first;
    first = std::max<int64_t>(fromEnd(first, s.size()), 1);
    last = std::min(fromEnd(last, s.size()), static_cast<int64_t>(s.size()));
    if (last < first) return {};
    auto byteAt = [&](int64_t i) {
        return Variable(static_cast<int32_t>(static_cast<unsigned char>(s[i - 1])));
    };
    if (last == first) return byteAt(first);
    std::vector<Variable> bytes;
    bytes.reserve(static_cast<size_t>(last - first + 1));
    for (int64_t i = first; i <= last; ++i) bytes.push_back(byteAt(i));
    return makeMulti(std::move(bytes));
}

Variable charsOf(std::span<const Variable> args) {
    std::string out;
    out.reserve(args.size());
    for (const Variable& code : args) out += static_cast<char>(ScriptEngine::toInt(code) & 0xFF);
    return Variable(std::move(out));
}

Variable repeatString(std::span<const Variable> args) {
    if (args.size() < 2 || args.size() > 3 || args[0].type != VarType::String)
        fail("string['rep'](s, n[, sep]) requires a string, count, and optional separator");
    const std::string& s = args[0].asString();
    const int32_t count = ScriptEngine::toInt(args[1]);
    const std::string separator = args.size() > 2 ? args[2].toString() : std::string();
    if (count < 1) return Variable("");
    std::string out;
    out.reserve(s.size() * static_cast<size_t>(count) + separator.size() * static_cast<size_t>(count - 1));
    out += s;
    for (int32_t i = 1; i < count; ++i) {
        out += separator;
        out += s;
    }
    return Variable(std::move(out));
}

Variable numberFromText(const std::string& text, int32_t base) {
    if (text.empty()) return {};
    if (base != 10) {
        errno = 0;
        char* end = nullptr;
        long value = std::strtol(text.c_str(), &end, base);
        if (errno != 0 || end != text.c_str() + text.size()) return {};
        return Variable(static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value))));
    }
    // Base 10 reads numbers exactly as table keys come back as numbers.
    Variable number = keyTextToValue(text);
    return number.type == VarType::String ? Variable() : number;
}

Variable toNumber(std::span<const Variable> args) {
    if (args.empty() || args.size() > 2) fail("toNumber(x[, base]) requires 1 or 2 arguments");
    int32_t base = 10;
    if (args.size() == 2) {
        base = ScriptEngine::toInt(args[1]);
        if (base < 2 || base > 36) return {};
    }
    const Variable& x = args[0];
    switch (x.type) {
    case VarType::Int:
    case VarType::Float:
        return x;
    case VarType::Bool:
        return Variable(static_cast<int32_t>(x.asBool() ? 1 : 0));
    case VarType::String:
        return numberFromText(x.asString(), base);
    default:
        return {};
    }
}

bool isContinuationByte(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Counts lead bytes eight at a time: a continuation byte has its high bit set
// and the next bit clear.
size_t countCodepoints(const std::string& s) {
    size_t continuation = 0;
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        continuation += static_cast<size_t>(std::popcount(word & ~(word << 1) & 0x8080808080808080ull));
    }
    for (; i < s.size(); ++i) continuation += isContinuationByte(static_cast<unsigned char>(s[i]));
    return s.size() - continuation;
}

Variable utf8Length(std::span<const Variable> args) {
    if (args.size() != 1 || args[0].type != VarType::String)
        fail("utf8['len'](s) requires exactly 1 string argument");
    return Variable(static_cast<int32_t>(countCodepoints(args[0].asString())));
}

Variable utf8Offset(std::span<const Variable> args) {
    if (args.size() < 2 || args.size() > 3 || args[0].type != VarType::String)
        fail("utf8['offset'](s, n[, i]) requires a string and a codepoint index");
    const std::string& s = args[0].asString();
    const int32_t n = ScriptEngine::toInt(args[1]);
    const int64_t first = std::max<int64_t>(args.size() > 2 ? ScriptEngine::toInt(args[2]) : 1, 1);
    if (n <= 0 || first - 1 >= static_cast<int64_t>(s.size())) return {};
    int32_t counted = 0;
    for (size_t i = static_cast<size_t>(first - 1); i < s.size(); ++i) {
        if (isContinuationByte(static_cast<unsigned char>(s[i]))) continue;
        if (++counted == n) return Variable(static_cast<int32_t>(i + 1));
    }
    return {};
}

} // namespace

void ScriptEngine::addStringBuiltins(LibraryParts& parts) {
    parts.directGlobals["toNumber"] = parts.directGlobals["tonumber"] = toNumber;
    TableStorage& library = parts.tables["string"];
    library["len"] = makeDirectCallable(
        [](std::span<const Variable> args) {
            if (args.size() != 1) fail("string['len'](s) requires exactly 1 argument");
            if (args[0].type != VarType::String) fail("string['len'](s) expects a string");
            return Variable(static_cast<int32_t>(args[0].asString().size()));
        },
        "string.len");
    library["upper"] = makeDirectCallable(
        caseMapping("string['upper'](s) requires exactly 1 string argument", std::toupper), "string.upper");
    library["lower"] = makeDirectCallable(
        caseMapping("string['lower'](s) requires exactly 1 string argument", std::tolower), "");
    library["sub"] = makeDirectCallable(substring, "string.sub");
    library["byte"] = makeDirectCallable(bytesOf, "string.byte");
    library["char"] = makeDirectCallable(charsOf, "");
    library["rep"] = makeDirectCallable(repeatString, "");

    TableStorage& utf8 = parts.tables["utf8"];
    utf8["len"] = makeDirectCallable(utf8Length, "utf8.len");
    utf8["offset"] = makeDirectCallable(utf8Offset, "");
}
