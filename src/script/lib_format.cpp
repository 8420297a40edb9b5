// string.format: printf-style formatting of script values. Formats made only
// of "%d", "%i" and "%%" are built directly in one allocation; everything else
// goes through snprintf one conversion at a time.
#include "ScriptEngine.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <string_view>

namespace {

const char* const formatPrefix = "string['format']: ";

[[noreturn]] void formatError(const std::string& detail) {
    throw std::runtime_error(formatPrefix + detail);
}

bool onlyIntegerConversions(const std::string& format) {
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (i + 1 == format.size()) return false;
        const char next = format[++i];
        if (next != 'd' && next != 'i' && next != '%') return false;
    }
    return true;
}

// Two passes over the format: the first checks the arguments and measures the
// output, the second writes it into a string allocated once.
std::string formatIntegersOnly(const std::string& format, const Variable* args, size_t count) {
    size_t length = 0;
    size_t used = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || format[++i] == '%') {
            ++length;
            continue;
        }
        if (used == count) formatError(std::string("missing argument for format specifier %") + format[i]);
        char digits[16];
        length += static_cast<size_t>(
            std::to_chars(digits, digits + sizeof digits, ScriptEngine::toInt(args[used++])).ptr - digits);
    }
    std::string out(length, '\0');
    char* cursor = out.data();
    used = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || format[++i] == '%')
            *cursor++ = format[i];
        else
            cursor = std::to_chars(cursor, out.data() + length, ScriptEngine::toInt(args[used++])).ptr;
    }
    return out;
}

// One conversion specification, "%" up to its letter.
struct Conversion {
    std::string printfSpec; // flags, width and precision, without length modifiers
    std::string text;       // the conversion as written, for messages
    char letter = 0;
    bool leftAlign = false;
    long width = 0;
    long precision = -1;
};

bool isOneOf(char c, std::string_view set) {
    return set.find(c) != std::string_view::npos;
}

// The number whose digits start at `i`, read past them, saturating above the int range.
long readNumber(const std::string& format, size_t& i) {
    long value = 0;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9')
        value = std::min<long>(value * 10 + (format[i++] - '0'), long{INT_MAX} + 1);
    return value;
}

bool readConversion(const std::string& format, size_t& i, Conversion& conversion) {
    const size_t start = i++;
    conversion.leftAlign = false;
    for (; i < format.size() && isOneOf(format[i], " #+-0"); ++i) conversion.leftAlign |= format[i] == '-';
    conversion.width = readNumber(format, i);
    conversion.precision = -1;
    if (i < format.size() && format[i] == '.') conversion.precision = readNumber(format, ++i);
    const size_t modifiers = i;
    while (i < format.size() && isOneOf(format[i], "hlLzjt")) ++i;
    if (i >= format.size()) return false;
    conversion.letter = format[i];
    conversion.text.assign(format, start, i + 1 - start);
    // printf gets the conversion without the length modifiers.
    conversion.printfSpec.assign(format, start, modifiers - start);
    conversion.printfSpec += conversion.letter;
    return true;
}

template <typename T> void appendPrintf(std::string& out, const std::string& spec, T value) {
    char buffer[128];
    int n = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
    if (n < 0) formatError("failed to format value");
    if (static_cast<size_t>(n) < sizeof buffer) {
        out.append(buffer, static_cast<size_t>(n));
        return;
    }
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    std::snprintf(out.data() + at, static_cast<size_t>(n) + 1, spec.c_str(), value);
    out.resize(at + static_cast<size_t>(n));
}

// %s with width and precision, byte-exact even for texts holding NUL bytes.
void appendPadded(std::string& out, const Conversion& conversion, const std::string& text) {
    if (conversion.width > INT_MAX || conversion.precision > INT_MAX) formatError("failed to format string");
    const size_t shown = conversion.precision < 0
                             ? text.size()
                             : std::min(text.size(), static_cast<size_t>(conversion.precision));
    const size_t padding = static_cast<size_t>(conversion.width) > shown ? conversion.width - shown : 0;
    if (!conversion.leftAlign) out.append(padding, ' ');
    out.append(text, 0, shown);
    if (conversion.leftAlign) out.append(padding, ' ');
}

void appendQuoted(std::string& out, const std::string& text) {
    static constexpr std::string_view escaped = "\t\n\r\"\\", escapes = "tnr\"\\";
    out += '"';
    for (char c : text) {
        if (const size_t k = escaped.find(c); k != std::string_view::npos) {
            out += '\\';
            out += escapes[k];
        } else {
            out += c;
        }
    }
    out += '"';
}

void appendConversion(std::string& out, const Conversion& conversion, const Variable& value) {
    switch (conversion.letter) {
    case 'd':
    case 'i':
    case 'c':
        return appendPrintf(out, conversion.printfSpec, ScriptEngine::toInt(value));
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        return appendPrintf(out, conversion.printfSpec, static_cast<unsigned>(ScriptEngine::toInt(value)));
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
        return appendPrintf(out, conversion.printfSpec, ScriptEngine::toDouble(value));
    case 's':
        return appendPadded(out, conversion, value.toString());
    case 'q':
        return appendQuoted(out, value.toString());
    default:
        formatError(std::string("unsupported specifier %") + conversion.letter);
    }
}

std::string formatGeneral(const std::string& format, const Variable* args, size_t count) {
    std::string out;
    out.reserve(format.size() + 16 * count);
    size_t next = 0;
    Conversion conversion;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out += format[i];
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        if (!readConversion(format, i, conversion)) formatError("incomplete format specifier");
        if (next == count) formatError("missing argument for format specifier " + conversion.text);
        appendConversion(out, conversion, args[next++]);
    }
    return out;
}

Variable formatFunction(std::span<const Variable> args) {
    if (args.empty() || args[0].type != VarType::String)
        throw std::runtime_error("string['format'](format, ...) requires a format string");
    const std::string& format = args[0].asString();
    const Variable* values = args.data() + 1;
    const size_t count = args.size() - 1;
    return Variable(onlyIntegerConversions(format) ? formatIntegersOnly(format, values, count)
                                                   : formatGeneral(format, values, count));
}

} // namespace

void ScriptEngine::addFormatBuiltins(LibraryParts& parts) {
    parts.tables["string"]["format"] = makeDirectCallable(formatFunction, "string.format");
}
