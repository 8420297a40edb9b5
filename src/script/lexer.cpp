// Cutting source text into statements and tokens, and linking blocks.
#include "ScriptEngine.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool isSpaceOrTab(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimSpacesAndTabs(std::string_view s) {
    size_t first = 0, last = s.size();
    while (first < last && isSpaceOrTab(s[first])) ++first;
    while (last > first && isSpaceOrTab(s[last - 1])) --last;
    return s.substr(first, last - first);
}

// Scanner state that carries over from one physical line to the next, so
// that brackets and strings may span lines.
struct StatementScanner {
    bool inString = false;
    char quote = 0;
    bool escaped = false;
    int depth[3] = {}; // of the open ( [ and { brackets

    bool atTopLevel() const { return !inString && depth[0] == 0 && depth[1] == 0 && depth[2] == 0; }

    void step(char c) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == quote)
                inString = false;
            return;
        }
        static constexpr std::string_view openers = "([{", closers = ")]}";
        if (c == '"' || c == '\'') {
            inString = true;
            quote = c;
        } else if (const size_t open = openers.find(c); open != std::string_view::npos) {
            ++depth[open];
        } else if (const size_t close = closers.find(c);
                   close != std::string_view::npos && depth[close] > 0) {
            --depth[close];
        }
    }
};

bool isWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isOperatorBeforeEquals(char c) {
    return std::strchr("!%*+-/<=>\\^", c) != nullptr && c != '\0';
}

bool isSingleCharToken(char c) {
    return std::strchr("#(),:;[]{}", c) != nullptr && c != '\0';
}

StatementKind kindOfStatement(const std::vector<std::string>& tokens) {
    using enum StatementKind;
    static constexpr std::pair<std::string_view, StatementKind> keywords[] = {
        {"if", If},         {"elseif", ElseIf}, {"else", Else},
        {"end", End},       {"while", While},   {"repeat", Repeat},
        {"until", Until},   {"for", For},       {"function", FunctionDecl},
        {"return", Return}, {"break", Break}};
    // Words that open a declaration only when `function` follows them.
    static constexpr std::pair<std::string_view, StatementKind> declarations[] = {
        {"decay", DecayFunctionDecl}, {"native", NativeFunctionDecl}, {"local", LocalFunctionDecl}};
    if (tokens.empty()) return Empty;
    for (const auto& [word, kind] : keywords)
        if (tokens[0] == word) return kind;
    if (tokens.size() > 1 && tokens[1] == "function")
        for (const auto& [word, kind] : declarations)
            if (tokens[0] == word) return kind;
    return Simple;
}

bool isAssignmentOperator(const std::string& token) {
    return token == "=" || token == "+=" || token == "-=" || token == "*=" || token == "/=" ||
           token == "\\=" || token == "%=" || token == "^=";
}

// Calls `onToken(index)` for each token at bracket depth 0 in [first, end).
template <typename F>
void forEachTopLevelToken(const std::vector<std::string>& tokens, size_t first, size_t end, F onToken) {
    int depth = 0;
    for (size_t i = first; i < end; ++i) {
        const std::string& t = tokens[i];
        if (t == "(" || t == "[" || t == "{")
            ++depth;
        else if ((t == ")" || t == "]" || t == "}") && depth > 0)
            --depth;
        else if (depth == 0 && !onToken(i))
            return;
    }
}

// The index of the bracket that closes the one at `open`, or `end` when none
// does before it.
size_t closingBracket(const std::vector<std::string>& tokens, size_t open, size_t end) {
    int depth = 0;
    for (size_t close = open; close < end; ++close) {
        const std::string& t = tokens[close];
        if (t == "(" || t == "[" || t == "{")
            ++depth;
        else if ((t == ")" || t == "]" || t == "}") && --depth == 0)
            return close;
    }
    return end;
}

std::vector<TokenRange> splitAtTopLevelCommas(const std::vector<std::string>& tokens, size_t first,
                                              size_t end) {
    std::vector<TokenRange> ranges;
    size_t start = first;
    forEachTopLevelToken(tokens, first, end, [&](size_t i) {
        if (tokens[i] == ",") {
            ranges.push_back({start, i});
            start = i + 1;
        }
        return true;
    });
    ranges.push_back({start, end});
    return ranges;
}

// A target is a name followed by [expr] suffixes; anything else is kept as
// malformed and reported when the statement runs.
ParsedAssignmentTarget parseAssignmentTarget(const ParsedScriptLine& line, TokenRange range) {
    const std::vector<std::string>& tokens = line.tokens;
    ParsedAssignmentTarget target;
    target.nameIndex = range.first;
    target.wellFormed = range.first < range.end;
    if (target.wellFormed) target.nameId = line.tokenInfo[range.first].nameId;
    size_t i = range.first + 1;
    while (target.wellFormed && i < range.end) {
        if (tokens[i] != "[") {
            target.wellFormed = false;
            break;
        }
        const size_t close = closingBracket(tokens, i, range.end);
        if (close >= range.end || tokens[close] != "]") {
            target.wellFormed = false;
            break;
        }
        target.indexRanges.push_back({i + 1, close});
        i = close + 1;
    }
    if (target.nameId == 0) target.wellFormed = false;
    return target;
}

void splitAssignment(ParsedScriptLine& line) {
    const auto& tokens = line.tokens;
    size_t opIndex = 0;
    forEachTopLevelToken(tokens, 0, tokens.size(), [&](size_t i) {
        if (!isAssignmentOperator(tokens[i])) return true;
        opIndex = i;
        return false;
    });
    if (opIndex == 0) return;
    size_t firstTarget = 0;
    if (tokens[0] == "local")
        line.assignScope = ScopeTarget::Local, firstTarget = 1;
    else if (tokens[0] == "native")
        line.assignScope = ScopeTarget::Frame, firstTarget = 1;
    line.assignOpIndex = opIndex;
    for (const TokenRange& range : splitAtTopLevelCommas(tokens, firstTarget, opIndex))
        line.assignmentTargets.push_back(parseAssignmentTarget(line, range));
    line.valueRanges = splitAtTopLevelCommas(tokens, opIndex + 1, tokens.size());
}

struct OpenBlock {
    StatementKind kind;
    size_t opener;
    std::vector<size_t> branches; // the lines of an if chain
};

} // namespace

// ---------------------------------------------------------------------------
// Statement assembly

ParsedLines ScriptEngine::parseLines(const std::string& source) {
    ParsedLines lines;
    std::string buffer;
    uint64_t bufferLine = 0;
    StatementScanner scanner;

    auto emit = [&]() {
        ParsedScriptLine line;
        line.text = std::move(buffer);
        line.lineNumber = bufferLine;
        errorContext = {&line};
        line.tokens = tokenise(line.text);
        errorContext = {};
        lines.push_back(std::move(line));
        buffer.clear();
    };
    auto append = [&](std::string_view piece, uint64_t lineNumber) {
        piece = trimSpacesAndTabs(piece);
        if (piece.empty()) return;
        if (buffer.empty())
            bufferLine = lineNumber;
        else
            buffer += ' ';
        buffer += piece;
    };

    size_t lineStart = 0;
    for (uint64_t lineNumber = 0; lineStart <= source.size(); ++lineNumber) {
        size_t lineEnd = source.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = source.size();
        std::string_view physical(source.data() + lineStart, lineEnd - lineStart);
        // Files written with CR LF line ends read like LF files.
        if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);
        bool lastLine = lineEnd == source.size();
        lineStart = lineEnd + 1;
        if (lastLine && physical.empty() && lineNumber > 0) break;

        if (buffer.empty() && (physical.empty() || physical.substr(0, 2) == "@@")) {
            ParsedScriptLine empty;
            empty.text = std::string(physical);
            empty.lineNumber = lineNumber;
            lines.push_back(std::move(empty));
            continue;
        }
        size_t cut = 0;
        size_t end = physical.size();
        for (size_t i = 0; i < physical.size(); ++i) {
            char c = physical[i];
            if (!scanner.inString && c == '@' && i + 1 < physical.size() && physical[i + 1] == '@') {
                end = i;
                break;
            }
            if (scanner.atTopLevel() && c == ';') {
                append(physical.substr(cut, i - cut), lineNumber);
                if (!buffer.empty()) emit();
                cut = i + 1;
                continue;
            }
            scanner.step(c);
        }
        append(physical.substr(cut, end - cut), lineNumber);
        if (!buffer.empty() && scanner.atTopLevel()) emit();
        if (lastLine) break;
    }
    if (!buffer.empty()) emit();
    prepareParsedLines(lines);
    return lines;
}

// ---------------------------------------------------------------------------
// Tokens

std::vector<std::string> ScriptEngine::tokenise(const std::string& text) {
    std::vector<std::string> tokens;
    size_t wordStart = std::string::npos;
    auto endWord = [&](size_t at) {
        if (wordStart != std::string::npos) tokens.emplace_back(text, wordStart, at - wordStart);
        wordStart = std::string::npos;
    };
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (isWhitespace(c)) {
            endWord(i);
            ++i;
        } else if (c == '@' && i + 1 < text.size() && text[i + 1] == '@') {
            endWord(i);
            return tokens;
        } else if (c == '"' || c == '\'') {
            endWord(i);
            size_t j = i + 1;
            while (j < text.size() && text[j] != c) j += text[j] == '\\' ? 2 : 1;
            if (j >= text.size()) throwError("Unterminated string literal", std::string_view(text).substr(i));
            tokens.emplace_back(text, i, j + 1 - i);
            i = j + 1;
        } else if (i + 1 < text.size() &&
                   ((isOperatorBeforeEquals(c) && text[i + 1] == '=') || (c == '&' && text[i + 1] == '&') ||
                    (c == '|' && text[i + 1] == '|') || (c == '~' && text[i + 1] == '='))) {
            endWord(i);
            tokens.emplace_back(text, i, 2);
            i += 2;
        } else if (isOperatorBeforeEquals(c) || isSingleCharToken(c)) {
            endWord(i);
            tokens.emplace_back(1, c);
            ++i;
        } else {
            if (wordStart == std::string::npos) wordStart = i;
            ++i;
        }
    }
    endWord(text.size());
    return tokens;
}

bool ScriptEngine::isIdentifier(std::string_view token) {
    if (token.empty()) return false;
    auto isStart = [](unsigned char c) { return std::isalpha(c) || c == '_' || c == '$'; };
    if (!isStart(token[0])) return false;
    for (unsigned char c : token.substr(1))
        if (!isStart(c) && !std::isdigit(c)) return false;
    return true;
}

bool ScriptEngine::isTrueToken(std::string_view token) {
    return token == "true" || token == "ture" || token == "tre" || token == "tue";
}

bool ScriptEngine::isFalseToken(std::string_view token) {
    return token == "false" || token == "flase" || token == "fasle" || token == "flse";
}

bool ScriptEngine::tokenLooksNumeric(std::string_view token) {
    size_t i = 0;
    if (!token.empty() && (token[0] == '+' || token[0] == '-')) i = 1;
    int digits = 0, dots = 0;
    for (; i < token.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(token[i])))
            ++digits;
        else if (token[i] == '.' && dots == 0)
            ++dots;
        else
            return false;
    }
    return digits > 0;
}

bool ScriptEngine::parseIntStrict(const std::string& token, int32_t& out) {
    size_t i = token.size() > 1 && token[0] == '-' ? 1 : 0;
    if (i == token.size()) return false;
    int64_t value = 0;
    for (; i < token.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(token[i]))) return false;
        value = value * 10 + (token[i] - '0');
        if (value > 2147483648LL) return false;
    }
    if (token[0] == '-') value = -value;
    if (value > 2147483647LL) return false;
    out = static_cast<int32_t>(value);
    return true;
}

bool ScriptEngine::parseFloatStrict(const std::string& token, float& out) {
    if (token.empty()) return false;
    char* end = nullptr;
    errno = 0;
    float value = std::strtof(token.c_str(), &end);
    if (end != token.c_str() + token.size() || errno == ERANGE) return false;
    out = value;
    return true;
}

TokenAnalysis ScriptEngine::analyseToken(const std::string& token) {
    TokenAnalysis a;
    a.isIdentifier = isIdentifier(token);
    if (a.isIdentifier) a.nameId = internName(token);
    a.isTrue = isTrueToken(token);
    a.isFalse = isFalseToken(token);
    a.isNumeric = tokenLooksNumeric(token);
    a.isFloat = a.isNumeric && token.find('.') != std::string::npos;
    a.hasInt = a.isNumeric && !a.isFloat && parseIntStrict(token, a.intValue);
    if (!a.hasInt) a.intValue = 0;
    return a;
}

bool ScriptEngine::isStringToken(std::string_view token) {
    return token.size() >= 2 && (token[0] == '"' || token[0] == '\'') && token.back() == token[0];
}

std::string ScriptEngine::decodeStringToken(const std::string& token) {
    if (!isStringToken(token)) return token;
    std::string out;
    out.reserve(token.size() - 2);
    size_t last = token.size() - 1;
    for (size_t i = 1; i < last; ++i) {
        char c = token[i];
        if (c != '\\' || i + 1 == last) {
            out += c;
            continue;
        }
        char next = token[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Block links

void ScriptEngine::prepareParsedLines(ParsedLines& lines) {
    for (ParsedScriptLine& line : lines) {
        line.tokenInfo.reserve(line.tokens.size());
        for (const std::string& token : line.tokens) line.tokenInfo.push_back(analyseToken(token));
    }
    std::vector<OpenBlock> open;
    for (size_t i = 0; i < lines.size(); ++i) {
        ParsedScriptLine& line = lines[i];
        line.kind = kindOfStatement(line.tokens);
        switch (line.kind) {
        case StatementKind::If:
            open.push_back({line.kind, i, {i}});
            break;
        case StatementKind::ElseIf:
        case StatementKind::Else:
            if (!open.empty() && open.back().kind == StatementKind::If) {
                lines[open.back().branches.back()].nextBranchIndex = i;
                open.back().branches.push_back(i);
            }
            break;
        case StatementKind::For:
        case StatementKind::While:
        case StatementKind::Repeat:
        case StatementKind::FunctionDecl:
        case StatementKind::DecayFunctionDecl:
        case StatementKind::NativeFunctionDecl:
        case StatementKind::LocalFunctionDecl:
            open.push_back({line.kind, i, {}});
            break;
        case StatementKind::End:
            if (open.empty()) break;
            if (open.back().kind == StatementKind::If)
                for (size_t branch : open.back().branches) lines[branch].endIndex = i;
            else
                lines[open.back().opener].endIndex = i;
            open.pop_back();
            break;
        case StatementKind::Until:
            if (!open.empty() && open.back().kind == StatementKind::Repeat) {
                lines[open.back().opener].endIndex = i;
                open.pop_back();
            }
            break;
        case StatementKind::Simple:
            splitAssignment(line);
            break;
        default:
            break;
        }
        compileLineExpressions(line);
    }
}
