// Type 1 loading: the PFB and PFA containers, eexec and charstring
// decryption, the dictionaries, and the charstring interpreter.
#include "Type1Backend.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace bv::fonts {

namespace {

constexpr int maxSubroutineDepth = 16;
constexpr size_t maxFlexPoints = 7;

bool isSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == 0;
}
bool isDelimiter(uint8_t c) {
    return std::strchr("()<>[]{}/%", c) != nullptr && c != 0;
}

// PostScript tokens of the clear text and the decrypted private part; the
// binary bytes of charstrings are taken with takeBytes, never tokenised.
class Scanner {
  public:
    explicit Scanner(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    std::string_view next() {
        skipSpaceAndComments();
        if (pos_ >= bytes_.size()) return {};
        size_t start = pos_;
        uint8_t c = bytes_[pos_++];
        if (c == '(') {
            skipString();
        } else if (c == '/') {
            while (pos_ < bytes_.size() && !isSpace(bytes_[pos_]) && !isDelimiter(bytes_[pos_])) ++pos_;
        } else if (!isDelimiter(c)) {
            while (pos_ < bytes_.size() && !isSpace(bytes_[pos_]) && !isDelimiter(bytes_[pos_])) ++pos_;
        }
        return {reinterpret_cast<const char*>(bytes_.data()) + start, pos_ - start};
    }

    bool nextNumber(double& value) {
        std::string_view token = next();
        std::string text(token);
        char* end = nullptr;
        value = std::strtod(text.c_str(), &end);
        return !text.empty() && end == text.c_str() + text.size() && std::isfinite(value);
    }

    bool nextCount(size_t& value) {
        double number;
        if (!nextNumber(number) || number < 0 || number != std::floor(number) ||
            number > double(bytes_.size()))
            return false;
        value = size_t(number);
        return true;
    }

    // The bytes after a read-string token: one separator, then `count` bytes.
    bool takeBytes(size_t count, std::vector<uint8_t>& out) {
        ++pos_;
        if (pos_ > bytes_.size() || count > bytes_.size() - pos_) return false;
        out.assign(bytes_.begin() + pos_, bytes_.begin() + pos_ + count);
        pos_ += count;
        return true;
    }

    size_t position() const { return pos_; }
    void rewind(size_t pos) { pos_ = pos; }

  private:
    void skipSpaceAndComments() {
        while (pos_ < bytes_.size()) {
            if (isSpace(bytes_[pos_])) {
                ++pos_;
            } else if (bytes_[pos_] == '%') {
                while (pos_ < bytes_.size() && bytes_[pos_] != '\n' && bytes_[pos_] != '\r') ++pos_;
            } else {
                break;
            }
        }
    }
    void skipString() {
        int nesting = 1;
        while (pos_ < bytes_.size() && nesting > 0) {
            uint8_t c = bytes_[pos_++];
            if (c == '\\')
                ++pos_;
            else if (c == '(')
                ++nesting;
            else if (c == ')')
                --nesting;
        }
        pos_ = std::min(pos_, bytes_.size());
    }

    const std::vector<uint8_t>& bytes_;
    size_t pos_ = 0;
};

bool isOneOf(std::string_view token, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), token) != words.end();
}

// Reads "count RD <bytes>": the byte count, the read-string token and the bytes.
bool readBinaryEntry(Scanner& s, std::vector<uint8_t>& out) {
    size_t count;
    return s.nextCount(count) && !s.next().empty() && s.takeBytes(count, out);
}

// Skips the tokens that end an entry (ND, NP, noaccess def ...); true when the
// next token is `more`, which starts another entry.
bool skipToNextEntry(Scanner& s, std::string_view more) {
    for (;;) {
        size_t at = s.position();
        std::string_view token = s.next();
        if (isOneOf(token, {"ND", "|-", "NP", "|", "noaccess", "readonly", "def", "put"})) continue;
        if (token == more) return true;
        s.rewind(at);
        return false;
    }
}

bool splitPfb(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& clear,
              std::vector<uint8_t>& encrypted) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        if (bytes[pos] != 0x80 || bytes.size() - pos < 2) return false;
        uint8_t type = bytes[pos + 1];
        if (type == 3) return true;
        if (bytes.size() - pos < 6) return false;
        uint32_t length = uint32_t(bytes[pos + 2]) | uint32_t(bytes[pos + 3]) << 8 |
                          uint32_t(bytes[pos + 4]) << 16 | uint32_t(bytes[pos + 5]) << 24;
        pos += 6;
        if (length > bytes.size() - pos || (type != 1 && type != 2)) return false;
        auto& part = type == 1 ? clear : encrypted;
        part.insert(part.end(), bytes.begin() + pos, bytes.begin() + pos + length);
        pos += length;
    }
    return true;
}

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The encrypted part of a PFA is hexadecimal; some files carry it in binary.
std::vector<uint8_t> decodeEncryptedText(const uint8_t* begin, const uint8_t* end) {
    bool hex = end - begin >= 4 && std::all_of(begin, begin + 4, [](uint8_t c) { return hexValue(c) >= 0; });
    if (!hex) return {begin, end};
    std::vector<uint8_t> out;
    out.reserve((end - begin) / 2);
    int high = -1;
    for (const uint8_t* p = begin; p < end; ++p) {
        int v = hexValue(*p);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

bool splitPfa(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& clear,
              std::vector<uint8_t>& encrypted) {
    static constexpr std::string_view marker = "currentfile eexec";
    static constexpr std::string_view trailer = "cleartomark";
    auto found = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    if (found == bytes.end()) return false;
    auto body = found + marker.size();
    if (body != bytes.end() && *body == '\r') ++body;
    if (body != bytes.end() && *body == '\n') ++body;
    clear.assign(bytes.begin(), body);
    auto tail = std::search(body, bytes.end(), trailer.begin(), trailer.end());
    encrypted =
        decodeEncryptedText(bytes.data() + (body - bytes.begin()), bytes.data() + (tail - bytes.begin()));
    return true;
}

// Unicode names of the printable ASCII and Latin-1 characters.
constexpr std::array<const char*, 95> asciiNames = {"space",       "exclam",
                                                    "quotedbl",    "numbersign",
                                                    "dollar",      "percent",
                                                    "ampersand",   "quotesingle",
                                                    "parenleft",   "parenright",
                                                    "asterisk",    "plus",
                                                    "comma",       "hyphen",
                                                    "period",      "slash",
                                                    "zero",        "one",
                                                    "two",         "three",
                                                    "four",        "five",
                                                    "six",         "seven",
                                                    "eight",       "nine",
                                                    "colon",       "semicolon",
                                                    "less",        "equal",
                                                    "greater",     "question",
                                                    "at",          "A",
                                                    "B",           "C",
                                                    "D",           "E",
                                                    "F",           "G",
                                                    "H",           "I",
                                                    "J",           "K",
                                                    "L",           "M",
                                                    "N",           "O",
                                                    "P",           "Q",
                                                    "R",           "S",
                                                    "T",           "U",
                                                    "V",           "W",
                                                    "X",           "Y",
                                                    "Z",           "bracketleft",
                                                    "backslash",   "bracketright",
                                                    "asciicircum", "underscore",
                                                    "grave",       "a",
                                                    "b",           "c",
                                                    "d",           "e",
                                                    "f",           "g",
                                                    "h",           "i",
                                                    "j",           "k",
                                                    "l",           "m",
                                                    "n",           "o",
                                                    "p",           "q",
                                                    "r",           "s",
                                                    "t",           "u",
                                                    "v",           "w",
                                                    "x",           "y",
                                                    "z",           "braceleft",
                                                    "bar",         "braceright",
                                                    "asciitilde"};
constexpr std::array<const char*, 96> latin1Names = {"space",
                                                     "exclamdown",
                                                     "cent",
                                                     "sterling",
                                                     "currency",
                                                     "yen",
                                                     "brokenbar",
                                                     "section",
                                                     "dieresis",
                                                     "copyright",
                                                     "ordfeminine",
                                                     "guillemotleft",
                                                     "logicalnot",
                                                     "hyphen",
                                                     "registered",
                                                     "macron",
                                                     "degree",
                                                     "plusminus",
                                                     "twosuperior",
                                                     "threesuperior",
                                                     "acute",
                                                     "mu",
                                                     "paragraph",
                                                     "periodcentered",
                                                     "cedilla",
                                                     "onesuperior",
                                                     "ordmasculine",
                                                     "guillemotright",
                                                     "onequarter",
                                                     "onehalf",
                                                     "threequarters",
                                                     "questiondown",
                                                     "Agrave",
                                                     "Aacute",
                                                     "Acircumflex",
                                                     "Atilde",
                                                     "Adieresis",
                                                     "Aring",
                                                     "AE",
                                                     "Ccedilla",
                                                     "Egrave",
                                                     "Eacute",
                                                     "Ecircumflex",
                                                     "Edieresis",
                                                     "Igrave",
                                                     "Iacute",
                                                     "Icircumflex",
                                                     "Idieresis",
                                                     "Eth",
                                                     "Ntilde",
                                                     "Ograve",
                                                     "Oacute",
                                                     "Ocircumflex",
                                                     "Otilde",
                                                     "Odieresis",
                                                     "multiply",
                                                     "Oslash",
                                                     "Ugrave",
                                                     "Uacute",
                                                     "Ucircumflex",
                                                     "Udieresis",
                                                     "Yacute",
                                                     "Thorn",
                                                     "germandbls",
                                                     "agrave",
                                                     "aacute",
                                                     "acircumflex",
                                                     "atilde",
                                                     "adieresis",
                                                     "aring",
                                                     "ae",
                                                     "ccedilla",
                                                     "egrave",
                                                     "eacute",
                                                     "ecircumflex",
                                                     "edieresis",
                                                     "igrave",
                                                     "iacute",
                                                     "icircumflex",
                                                     "idieresis",
                                                     "eth",
                                                     "ntilde",
                                                     "ograve",
                                                     "oacute",
                                                     "ocircumflex",
                                                     "otilde",
                                                     "odieresis",
                                                     "divide",
                                                     "oslash",
                                                     "ugrave",
                                                     "uacute",
                                                     "ucircumflex",
                                                     "udieresis",
                                                     "yacute",
                                                     "thorn",
                                                     "ydieresis"};

const char* unicodeName(uint32_t codepoint) {
    if (codepoint >= 32 && codepoint < 127) return asciiNames[codepoint - 32];
    if (codepoint >= 160 && codepoint < 256) return latin1Names[codepoint - 160];
    return nullptr;
}

} // namespace

std::vector<uint8_t> decrypt_type1(const uint8_t* data, size_t size, uint16_t key, size_t skip) {
    std::vector<uint8_t> plain;
    plain.reserve(size > skip ? size - skip : 0);
    uint16_t r = key;
    for (size_t i = 0; i < size; ++i) {
        uint8_t cipher = data[i];
        if (i >= skip) plain.push_back(uint8_t(cipher ^ (r >> 8)));
        r = uint16_t((cipher + r) * 52845u + 22719u);
    }
    return plain;
}

std::vector<uint8_t> decrypt_charstring(const std::vector<uint8_t>& bytes, int lenIV) {
    return decrypt_type1(bytes.data(), bytes.size(), charstringKey, size_t(std::max(lenIV, 0)));
}

bool Type1Backend::load(std::vector<uint8_t> bytes) {
    std::vector<uint8_t> clear, encrypted;
    bool split = !bytes.empty() && (bytes[0] == 0x80  ? splitPfb(bytes, clear, encrypted)
                                    : bytes[0] == '%' ? splitPfa(bytes, clear, encrypted)
                                                      : false);
    if (!split || encrypted.size() <= 4) return false;
    parseClearText(clear);
    return parsePrivate(decrypt_type1(encrypted.data(), encrypted.size(), eexecKey, 4));
}

void Type1Backend::parseClearText(const std::vector<uint8_t>& clear) {
    Scanner s(clear);
    for (std::string_view token = s.next(); !token.empty(); token = s.next()) {
        if (token == "/FontBBox") {
            double box[4];
            std::string_view open = s.next();
            if ((open == "{" || open == "[") && s.nextNumber(box[0]) && s.nextNumber(box[1]) &&
                s.nextNumber(box[2]) && s.nextNumber(box[3]) && box[3] > box[1]) {
                ascent_ = std::max(0.0, box[3]);
                descent_ = std::max(0.0, -box[1]);
            }
        } else if (token == "/Encoding") {
            // "dup code /name put" entries; StandardEncoding has none.
            for (token = s.next(); !token.empty() && token != "def"; token = s.next()) {
                if (token != "dup") continue;
                double code;
                if (!s.nextNumber(code)) continue;
                std::string_view name = s.next();
                if (name.size() > 1 && name[0] == '/' && code >= 0 && code < 256)
                    encoding_[uint32_t(code)] = std::string(name.substr(1));
            }
        }
    }
}

bool Type1Backend::parsePrivate(const std::vector<uint8_t>& plain) {
    Scanner s(plain);
    std::vector<std::vector<uint8_t>> subrs;
    for (std::string_view token = s.next(); !token.empty(); token = s.next()) {
        if (token == "/lenIV") {
            double value;
            if (s.nextNumber(value) && std::abs(value) < 256) lenIV_ = int(value);
        } else if (token == "/Subrs") {
            size_t count;
            if (!s.nextCount(count)) return false;
            subrs.assign(count, {});
            s.next(); // array
            while (skipToNextEntry(s, "dup")) {
                size_t index;
                std::vector<uint8_t> body;
                if (!s.nextCount(index) || !readBinaryEntry(s, body)) return false;
                if (index < count) subrs[index] = std::move(body);
            }
        } else if (token == "/CharStrings") {
            for (token = s.next(); !token.empty() && token != "end"; token = s.next()) {
                if (token.size() < 2 || token[0] != '/') continue; // count, dict, dup, begin, ND ...
                std::vector<uint8_t> body;
                if (!readBinaryEntry(s, body)) return false;
                charStrings_[std::string(token.substr(1))] = std::move(body);
            }
            break;
        }
    }
    if (charStrings_.empty()) return false;
    for (auto& subr : subrs) subr = decrypt_charstring(subr, lenIV_);
    subrs_ = std::move(subrs);
    for (auto& entry : charStrings_) entry.second = decrypt_charstring(entry.second, lenIV_);
    return true;
}

std::string Type1Backend::glyph_name_for_codepoint(uint32_t codepoint) const {
    if (const char* name = unicodeName(codepoint); name && charStrings_.count(name)) return name;
    if (auto own = encoding_.find(codepoint); own != encoding_.end() && charStrings_.count(own->second))
        return own->second;
    char uniName[16];
    std::snprintf(uniName, sizeof uniName, "uni%04X", unsigned(codepoint));
    if (codepoint <= 0xFFFF && charStrings_.count(uniName)) return uniName;
    return ".notdef";
}

GlyphBitmap Type1Backend::rasterize(uint32_t codepoint, double scale) {
    auto found = charStrings_.find(glyph_name_for_codepoint(codepoint));
    if (found == charStrings_.end()) found = charStrings_.find(".notdef");
    if (found == charStrings_.end()) return {};
    Type1Interpreter interpreter(subrs_, scale);
    if (!interpreter.execute(found->second, 0)) return {};
    return rasterize_glyph(interpreter.builder(), interpreter.advance(), scale * units_per_em());
}

bool Type1Interpreter::push(double v) {
    if (stackSize_ >= stack_.size()) return false;
    stack_[stackSize_++] = v;
    return true;
}

bool Type1Interpreter::execute(const std::vector<uint8_t>& code, int depth) {
    if (depth > maxSubroutineDepth) return false;
    size_t pos = 0;
    while (pos < code.size() && !ended_) {
        uint8_t v = code[pos++];
        if (v >= 32) {
            double number;
            if (v <= 246) {
                number = v - 139;
            } else if (v <= 254) {
                if (pos >= code.size()) return false;
                int w = code[pos++];
                number = v <= 250 ? (v - 247) * 256 + w + 108 : -(v - 251) * 256 - w - 108;
            } else {
                if (code.size() - pos < 4) return false;
                int32_t fixed = int32_t(uint32_t(code[pos]) << 24 | uint32_t(code[pos + 1]) << 16 |
                                        uint32_t(code[pos + 2]) << 8 | uint32_t(code[pos + 3]));
                pos += 4;
                number = fixed / 65536.0;
            }
            if (!push(number)) return false;
            continue;
        }
        if (--operationsLeft_ < 0) return false;
        --pos;
        Step step = runOperator(code, pos, depth);
        if (step == Step::failed) return false;
        if (step == Step::returned) return true;
    }
    return true;
}

Type1Interpreter::Step Type1Interpreter::runOperator(const std::vector<uint8_t>& code, size_t& pos,
                                                     int depth) {
    uint8_t op = code[pos++];
    size_t count = stackSize_;
    auto done = [&](size_t needed) {
        if (count < needed) return Step::failed;
        stackSize_ = 0;
        return Step::next;
    };
    switch (op) {
    case 1: // hstem
    case 3: // vstem: hints are not applied
        stackSize_ = 0;
        return Step::next;
    case 4:
        if (has(1)) moveBy(0, arg(0));
        return done(1);
    case 5:
        if (has(2)) lineBy(arg(0), arg(1));
        return done(2);
    case 6:
        if (has(1)) lineBy(arg(0), 0);
        return done(1);
    case 7:
        if (has(1)) lineBy(0, arg(0));
        return done(1);
    case 9:
        builder_.close_contour();
        return done(0);
    case 10: {
        if (!has(1)) return Step::failed;
        double index = stack_[--stackSize_];
        if (index < 0 || index >= double(subrs_.size()) || index != std::floor(index)) return Step::failed;
        const auto& body = subrs_[size_t(index)];
        return execute(body, depth + 1) ? Step::next : Step::failed;
    }
    case 11:
        return Step::returned;
    case 13:
        if (has(2)) {
            current_ = {arg(0), 0};
            width_ = arg(1);
        }
        return done(2);
    case 14:
        builder_.close_contour();
        ended_ = true;
        return done(0);
    case 21:
        if (has(2)) moveBy(arg(0), arg(1));
        return done(2);
    case 22:
        if (has(1)) moveBy(arg(0), 0);
        return done(1);
    case 12:
        if (pos >= code.size()) return Step::failed;
        return runEscape(code[pos++]);
    default: // the curve operators among others: outside the subset
        return Step::failed;
    }
}

Type1Interpreter::Step Type1Interpreter::runEscape(uint8_t op) {
    switch (op) {
    case 7: // sbw
        if (!has(4)) return Step::failed;
        current_ = {arg(0), arg(1)};
        width_ = arg(2);
        stackSize_ = 0;
        return Step::next;
    case 16:
        return callOtherSubr();
    case 17: // pop
        if (otherSubrResults_.empty() || !push(otherSubrResults_.back())) return Step::failed;
        otherSubrResults_.pop_back();
        return Step::next;
    case 33: // setcurrentpoint
        if (!has(2)) return Step::failed;
        current_ = {arg(0), arg(1)};
        stackSize_ = 0;
        return Step::next;
    default: // dotsection, vstem3, hstem3, seac, div ...
        return Step::failed;
    }
}

// Other subroutines 0 to 2 are flex, 3 hint replacement; every other one hands
// its arguments back to pop, as the standard procedures do.
Type1Interpreter::Step Type1Interpreter::callOtherSubr() {
    if (!has(2)) return Step::failed;
    double number = stack_[stackSize_ - 1], argCount = stack_[stackSize_ - 2];
    if (argCount < 0 || argCount > double(stackSize_ - 2) || argCount != std::floor(argCount))
        return Step::failed;
    size_t first = stackSize_ - 2 - size_t(argCount);
    std::vector<double> results(stack_.begin() + first, stack_.begin() + first + size_t(argCount));
    stackSize_ = first;
    if (number == 1) {
        flexing_ = true;
        flexStart_ = current_;
        flexPoints_.clear();
    } else if (number == 0) {
        if (results.size() != 3 || !endFlex()) return Step::failed;
        results.erase(results.begin()); // the flex height; x and y of the end stay for pop
    }
    otherSubrResults_.assign(results.rbegin(), results.rend());
    return Step::next;
}

// Flex describes two shallow curves; they are drawn as their chords through
// the joining point.
bool Type1Interpreter::endFlex() {
    if (!flexing_ || flexPoints_.size() != maxFlexPoints) return false;
    flexing_ = false;
    if (!builder_.contour_open()) builder_.move_to(scaled(flexStart_));
    builder_.line_to(scaled(flexPoints_[3]));
    builder_.line_to(scaled(flexPoints_[6]));
    current_ = flexPoints_[6];
    return true;
}

void Type1Interpreter::moveBy(double dx, double dy) {
    current_ = {current_.x + dx, current_.y + dy};
    if (flexing_) {
        // Flex points are collected, not moved to; a flex longer than its
        // seven points is not one and fails at its end.
        if (flexPoints_.size() <= maxFlexPoints) flexPoints_.push_back(current_);
        return;
    }
    builder_.move_to(scaled(current_));
}

void Type1Interpreter::lineBy(double dx, double dy) {
    if (!builder_.contour_open()) builder_.move_to(scaled(current_));
    current_ = {current_.x + dx, current_.y + dy};
    builder_.line_to(scaled(current_));
}

} // namespace bv::fonts
