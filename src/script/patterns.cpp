// String patterns. Lua-style pattern texts are translated once into ECMAScript
// regular expressions, compiled with std::regex and cached for the life of the
// process; "re:" and "/.../flags" texts are expressions already. The most
// common patterns ("%d+", "(%a+)%-(%d+)", "%d") have hand-written matchers.
// Instrumented builds make GCC see uninitialised std::function members inside
// libstdc++'s regex compiler, where there are none.
#if defined(__SANITIZE_ADDRESS__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "lib_support.h"

#include <exception>
#include <pthread.h>
#include <type_traits>

namespace {

using library::fail;

// ---------------------------------------------------------------------------
// Stack room for the regex library. Its compiler recurses once per term of the
// expression and its matcher about once per subject byte that a match spans,
// so long texts need far more stack than the interpreter thread may have left.
// Such work runs on a helper thread whose stack is sized for the text.

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t stackPerTextByte = 8192;
#else
constexpr size_t stackPerTextByte = 2048;
#endif
constexpr size_t stackReserve = 256u << 10;
constexpr size_t largestHelperStack = size_t{8} << 30;
constexpr size_t longestRegexText = largestHelperStack / stackPerTextByte;

const char* lowestStackAddress() {
    pthread_attr_t attributes;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return nullptr;
    pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    return static_cast<const char*>(low);
}

size_t remainingStack() {
    static thread_local const char* const low = lowestStackAddress();
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    return low && here > low ? static_cast<size_t>(here - low) : 0;
}

struct HelperWork {
    void (*call)(void*);
    void* work;
    std::exception_ptr failure;
};

void* runHelperWork(void* argument) {
    auto* helper = static_cast<HelperWork*>(argument);
    try {
        helper->call(helper->work);
    } catch (...) {
        helper->failure = std::current_exception();
    }
    freeSpareBlocks();
    return nullptr;
}

void runOnHelperStack(size_t stackSize, void (*call)(void*), void* work) {
    HelperWork helper{call, work, nullptr};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t thread;
    const int started = pthread_create(&thread, &attributes, runHelperWork, &helper);
    pthread_attr_destroy(&attributes);
    if (started != 0) throw std::runtime_error("gsub: not enough memory to match a text this long");
    pthread_join(thread, nullptr);
    if (helper.failure) std::rethrow_exception(helper.failure);
}

// Runs `work` (regex work over a text of `textLength` bytes) where the stack
// has room for it; errors it raises come back to the caller.
template <typename Work> void withRegexStack(size_t textLength, Work&& work) {
    if (textLength > longestRegexText)
        throw std::runtime_error("gsub: text too long for a regex pattern (" + std::to_string(textLength) +
                                 " bytes, at most " + std::to_string(longestRegexText) + ")");
    const size_t needed = textLength * stackPerTextByte + stackReserve;
    if (needed + stackReserve <= remainingStack()) return work();
    using WorkType = std::remove_reference_t<Work>;
    runOnHelperStack(
        needed + stackReserve, [](void* w) { (*static_cast<WorkType*>(w))(); }, &work);
}

// ---------------------------------------------------------------------------
// Matching budget. The regex matcher backtracks, and some patterns (such as
// "(a*)*b") make it retry exponentially many ways through a short text. Every
// subject byte it reads is counted against a budget that grows with the text,
// so such a pattern fails with an error instead of running for hours.

constexpr size_t baseMatchSteps = 10'000'000;
constexpr size_t matchStepsPerTextByte = 256;

class MatchBudget {
  public:
    MatchBudget(const std::string& pattern, size_t textLength)
        : pattern_(pattern), left_(baseMatchSteps + matchStepsPerTextByte * textLength) {}
    void spend() {
        if (left_-- == 0) [[unlikely]]
            spent();
    }

  private:
    // Out of line, so that the matcher's deep recursion keeps small frames.
    [[noreturn, gnu::noinline, gnu::cold]] void spent() const {
        throw std::runtime_error("gsub: pattern '" + pattern_ +
                                 "' backtracks too much to finish matching (step budget spent)");
    }

    const std::string& pattern_;
    size_t left_;
};

// A subject position that charges the budget for every byte read through it.
class CountedIterator {
  public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountedIterator() = default;
    CountedIterator(const char* at, MatchBudget* budget) : at_(at), budget_(budget) {}
    const char* base() const { return at_; }

    reference operator*() const {
        budget_->spend();
        return *at_;
    }
    pointer operator->() const { return at_; }
    reference operator[](difference_type n) const { return *(*this + n); }
    CountedIterator& operator++() {
        ++at_;
        return *this;
    }
    CountedIterator operator++(int) {
        CountedIterator old = *this;
        ++at_;
        return old;
    }
    CountedIterator& operator--() {
        --at_;
        return *this;
    }
    CountedIterator operator--(int) {
        CountedIterator old = *this;
        --at_;
        return old;
    }
    CountedIterator& operator+=(difference_type n) {
        at_ += n;
        return *this;
    }
    CountedIterator& operator-=(difference_type n) {
        at_ -= n;
        return *this;
    }
    friend CountedIterator operator+(CountedIterator it, difference_type n) { return it += n; }
    friend difference_type operator-(const CountedIterator& a, const CountedIterator& b) {
        return a.at_ - b.at_;
    }
    friend bool operator==(const CountedIterator& a, const CountedIterator& b) { return a.at_ == b.at_; }

  private:
    const char* at_ = nullptr;
    MatchBudget* budget_ = nullptr;
};

using CountedMatch = std::match_results<CountedIterator>;
using CountedMatches = std::regex_iterator<CountedIterator>;

// The matcher's view of one subject from byte `from` on, with its own budget.
struct BudgetedSubject {
    BudgetedSubject(const std::string& s, size_t from, const std::string& pattern)
        : budget(pattern, s.size() - from), begin(s.data() + from, &budget),
          end(s.data() + s.size(), &budget) {}
    MatchBudget budget;
    CountedIterator begin, end;
};

std::string groupText(const std::sub_match<CountedIterator>& group) {
    return group.matched ? std::string(group.first.base(), group.second.base()) : std::string();
}

// ---------------------------------------------------------------------------
// Pattern texts

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// The regex text of the pattern class "%c", outside or inside a bracket set. An
// upper-case letter is the complement of its lower-case class.
std::string classText(char c, bool inSet) {
    const char lower = static_cast<char>(c | 0x20);
    if (c == '%') return "%";
    if (lower == 'd' || lower == 's' || lower == 'w') return std::string{'\\', c};
    const char* range = lower == 'a'   ? "A-Za-z"
                        : lower == 'l' ? "a-z"
                        : lower == 'u' ? "A-Z"
                        : lower == 'x' ? "A-Fa-f0-9"
                        : lower == 'p' ? "!-/:-@\\[-`\\{-~"
                                       : nullptr;
    if (!range) return ScriptEngine::escapeRegexLiteralChar(c);
    const std::string set = c == lower ? std::string(range) : std::string("^").append(range);
    return inSet ? set : "[" + set + "]";
}

// A "/body/flags" text: the closing slash is the last unescaped one and only
// letters may follow it.
bool splitRegexLiteral(std::string_view pattern, std::string_view& body, std::string_view& flags) {
    if (pattern.size() < 2 || pattern[0] != '/') return false;
    size_t closing = std::string_view::npos;
    for (size_t i = 1; i < pattern.size(); ++i) {
        if (pattern[i] == '\\')
            ++i;
        else if (pattern[i] == '/')
            closing = i;
    }
    if (closing == std::string_view::npos) return false;
    for (size_t i = closing + 1; i < pattern.size(); ++i)
        if (!isAsciiLetter(pattern[i])) return false;
    body = pattern.substr(1, closing - 1);
    flags = pattern.substr(closing + 1);
    return true;
}

// The "m" flag: a dot outside brackets also matches line breaks.
std::string dotMatchesAll(std::string_view expression) {
    std::string out;
    out.reserve(expression.size() + 16);
    bool inBrackets = false;
    for (size_t i = 0; i < expression.size(); ++i) {
        const char c = expression[i];
        if (c == '\\') {
            out += c;
            if (i + 1 < expression.size()) out += expression[++i];
        } else if (inBrackets) {
            out += c;
            inBrackets = c != ']';
        } else if (c == '[') {
            out += c;
            inBrackets = true;
        } else {
            out += c == '.' ? std::string_view("[\\s\\S]") : std::string_view(&c, 1);
        }
    }
    return out;
}

CompiledGsubPattern compilePattern(const std::string& patternText) {
    std::string expression;
    auto options = std::regex::ECMAScript;
    std::string_view body, flags;
    if (patternText.starts_with("re:")) {
        expression = patternText.substr(3);
    } else if (splitRegexLiteral(patternText, body, flags)) {
        bool dotAll = false;
        for (char flag : flags) {
            if (flag == 'i')
                options |= std::regex::icase;
            else if (flag == 'm')
                dotAll = true;
            else
                throw std::runtime_error(std::string("gsub: unsupported regex flag '") + flag +
                                         "' (supported: i, m)");
        }
        expression = dotAll ? dotMatchesAll(body) : std::string(body);
    } else {
        expression = ScriptEngine::translateLuaPattern(patternText);
    }
    CompiledGsubPattern compiled;
    withRegexStack(expression.size(), [&] {
        try {
            compiled.regex.assign(expression, options);
        } catch (const std::regex_error& error) {
            throw std::runtime_error("gsub: invalid regex pattern '" + expression + "': " + error.what());
        }
    });
    compiled.groupCount = compiled.regex.mark_count();
    return compiled;
}

// ---------------------------------------------------------------------------
// Script functions

bool areStrings(std::span<const Variable> args, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (args[i].type != VarType::String) return false;
    return true;
}

// The 0-based byte a search of find or match starts from; false when it lies
// past the end of the subject. init counts from 1 and values below 1 mean 1.
bool searchStart(std::span<const Variable> args, size_t& from) {
    const int64_t init = args.size() <= 2 || args[2].isNone() ? 1 : ScriptEngine::toInt(args[2]);
    from = static_cast<size_t>(std::max<int64_t>(init, 1) - 1);
    return from <= args[0].asString().size();
}

Variable bytePositions(size_t first, size_t length) {
    return makeMulti(
        {Variable(static_cast<int32_t>(first + 1)), Variable(static_cast<int32_t>(first + length))});
}

Variable groupValue(const std::sub_match<CountedIterator>& group) {
    return group.matched ? Variable(groupText(group)) : Variable();
}

Variable findFunction(std::span<const Variable> args) {
    if (args.size() < 2 || args.size() > 4 || !areStrings(args, 2))
        fail("string['find'](s, pattern[, init[, plain]]) requires a string and a pattern");
    const std::string& s = args[0].asString();
    const std::string& pattern = args[1].asString();
    size_t from;
    if (!searchStart(args, from)) return {};
    if (args.size() > 3 && ScriptEngine::isTruthy(args[3])) {
        size_t found = s.find(pattern, from);
        return found == std::string::npos ? Variable() : bytePositions(found, pattern.size());
    }
    if (pattern == "%d+") {
        size_t first, end;
        if (!ScriptEngine::findAsciiLuaClassRun(s, from, first, end)) return {};
        return bytePositions(first, end - first);
    }
    const CompiledGsubPattern& compiled = ScriptEngine::getCachedGsubPattern(pattern);
    Variable result;
    withRegexStack(s.size() - from, [&] {
        BudgetedSubject subject(s, from, pattern);
        CountedMatch match;
        if (std::regex_search(subject.begin, subject.end, match, compiled.regex))
            result = bytePositions(from + static_cast<size_t>(match.position(0)),
                                   static_cast<size_t>(match.length(0)));
    });
    return result;
}

Variable matchFunction(std::span<const Variable> args) {
    if (args.size() < 2 || args.size() > 3 || !areStrings(args, 2))
        fail("string['match'](s, pattern[, init]) requires a string and a pattern");
    const std::string& s = args[0].asString();
    const std::string& pattern = args[1].asString();
    size_t from;
    if (!searchStart(args, from)) return {};
    if (pattern == "(%a+)%-(%d+)") {
        size_t start1, end1, start2, end2;
        if (!ScriptEngine::findAlphaDashDigitsMatch(s, from, start1, end1, start2, end2)) return {};
        return makeMulti(
            {Variable(s.substr(start1, end1 - start1)), Variable(s.substr(start2, end2 - start2))});
    }
    const CompiledGsubPattern& compiled = ScriptEngine::getCachedGsubPattern(pattern);
    Variable result;
    withRegexStack(s.size() - from, [&] {
        BudgetedSubject subject(s, from, pattern);
        CountedMatch match;
        if (!std::regex_search(subject.begin, subject.end, match, compiled.regex)) return;
        if (compiled.groupCount <= 1) {
            result = Variable(groupText(match[compiled.groupCount]));
        } else {
            std::vector<Variable> groups;
            groups.reserve(compiled.groupCount);
            for (size_t g = 1; g <= compiled.groupCount; ++g) groups.push_back(groupValue(match[g]));
            result = makeMulti(std::move(groups));
        }
    });
    return result;
}

Variable gmatchFunction(std::span<const Variable> args) {
    if (args.size() != 2 || !areStrings(args, 2))
        fail("string['gmatch'](s, pattern) requires a string and a pattern");
    const std::string& s = args[0].asString();
    const std::string& pattern = args[1].asString();
    std::vector<Variable> matches;
    if (pattern == "%d+") {
        size_t first, end = 0;
        while (ScriptEngine::findAsciiLuaClassRun(s, end, first, end))
            matches.emplace_back(s.substr(first, end - first));
        return makeArray(std::move(matches));
    }
    const CompiledGsubPattern& compiled = ScriptEngine::getCachedGsubPattern(pattern);
    withRegexStack(s.size(), [&] {
        BudgetedSubject subject(s, 0, pattern);
        for (CountedMatches it(subject.begin, subject.end, compiled.regex), end; it != end; ++it) {
            const CountedMatch& match = *it;
            if (compiled.groupCount <= 1) {
                matches.emplace_back(groupText(match[compiled.groupCount]));
                continue;
            }
            std::vector<Variable> groups;
            groups.reserve(compiled.groupCount);
            for (size_t g = 1; g <= compiled.groupCount; ++g) groups.emplace_back(groupText(match[g]));
            matches.push_back(makeArray(std::move(groups)));
        }
    });
    return makeArray(std::move(matches));
}

// ---------------------------------------------------------------------------
// gsub

const std::string& replacementFromTable(const TableStorage& table, const std::string& key,
                                        std::string& text) {
    const Variable* found = table.find(key);
    if (!found) throw std::runtime_error("gsub replacement table missing key: " + key);
    if (found->type == VarType::String) return found->asString();
    text = found->toString();
    return text;
}

void appendGroup(std::string& out, const CountedMatch& match, size_t group) {
    if (match[group].matched) out.append(match[group].first.base(), match[group].second.base());
}

// Expands a replacement string for one match: \0 and \& the match, \` and \'
// the text before and after it, \+ the last group, \N group N, \\ a backslash.
void appendReplacement(std::string& out, const std::string& replacement, const std::string& subject,
                       const CountedMatch& match, size_t groupCount) {
    for (size_t i = 0; i < replacement.size(); ++i) {
        const char c = replacement[i];
        if (c != '\\' || i + 1 == replacement.size()) {
            out += c;
            continue;
        }
        const char next = replacement[++i];
        switch (next) {
        case '0':
        case '&':
            appendGroup(out, match, 0);
            break;
        case '`':
            out.append(subject.data(), match[0].first.base());
            break;
        case '\'':
            out.append(match[0].second.base(), subject.data() + subject.size());
            break;
        case '+':
            if (groupCount > 0) appendGroup(out, match, groupCount);
            break;
        default:
            if (!isAsciiDigit(next)) {
                out += next;
                break;
            }
            // Digits are read while the number still names a group.
            size_t group = static_cast<size_t>(next - '0');
            while (i + 1 < replacement.size() && isAsciiDigit(replacement[i + 1]) &&
                   group * 10 + static_cast<size_t>(replacement[i + 1] - '0') < groupCount + 1)
                group = group * 10 + static_cast<size_t>(replacement[++i] - '0');
            if (group <= groupCount) appendGroup(out, match, group);
        }
    }
}

// gsub with "%d": each digit becomes the replacement text, or its entry in the
// replacement table.
std::string replaceDigits(const std::string& s, const Variable& replacement) {
    const bool fromTable = replacement.type == VarType::Table;
    const size_t digits =
        fromTable ? 0 : static_cast<size_t>(std::count_if(s.begin(), s.end(), isAsciiDigit));
    std::string out, key(1, ' '), scratch;
    out.reserve(s.size() + (fromTable ? 0 : replacement.asString().size() * digits));
    for (char c : s) {
        if (!isAsciiDigit(c)) {
            out += c;
            continue;
        }
        key[0] = c;
        out +=
            fromTable ? replacementFromTable(*replacement.asTable(), key, scratch) : replacement.asString();
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------

std::string ScriptEngine::escapeRegexLiteralChar(char c) {
    static constexpr std::string_view special = "$()*+.?[\\]^{|}";
    if (special.find(c) != std::string_view::npos) return std::string{'\\', c};
    return std::string(1, c);
}

// "?" follows Lua: it makes the single-character item before it optional (a
// byte, an escape, a class, "." or a set); anywhere else (at the start, after
// a group, an anchor or another quantifier) it is a literal question mark.
std::string ScriptEngine::translateLuaPattern(std::string_view pattern) {
    std::string out;
    out.reserve(pattern.size() * 2);
    bool inSet = false;
    size_t setStart = 0;
    bool afterSingleItem = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '%') {
            out += i + 1 == pattern.size() ? std::string("%") : classText(pattern[++i], inSet);
            afterSingleItem = !inSet;
            continue;
        }
        if (inSet) {
            if (c == ']') {
                inSet = false;
                afterSingleItem = true;
                out += c;
            } else if (c == '\\') {
                out += "\\\\";
            } else if (c == '^' && i != setStart) {
                out += "\\^";
            } else {
                out += c;
            }
            continue;
        }
        const bool quantifiable = afterSingleItem;
        afterSingleItem = false;
        switch (c) {
        case '[':
            inSet = true;
            setStart = i + 1;
            out += c;
            break;
        case '-':
            out += "*?";
            break;
        case '?':
            out += quantifiable ? "?" : "\\?";
            afterSingleItem = !quantifiable;
            break;
        case '$':
        case '(':
        case ')':
        case '*':
        case '+':
        case '^':
            out += c;
            break;
        case '.':
            out += c;
            afterSingleItem = true;
            break;
        default:
            out += escapeRegexLiteralChar(c);
            afterSingleItem = true;
        }
    }
    return out;
}

const CompiledGsubPattern& ScriptEngine::getCachedGsubPattern(const std::string& patternText) {
    static std::unordered_map<std::string, CompiledGsubPattern> cache;
    auto found = cache.find(patternText);
    if (found != cache.end()) return found->second;
    return cache.emplace(patternText, compilePattern(patternText)).first->second;
}

bool ScriptEngine::findAsciiLuaClassRun(std::string_view s, size_t from, size_t& start, size_t& end) {
    size_t i = from;
    while (i < s.size() && !isAsciiDigit(s[i])) ++i;
    if (i >= s.size()) return false;
    start = i;
    while (i < s.size() && isAsciiDigit(s[i])) ++i;
    end = i;
    return true;
}

bool ScriptEngine::findAlphaDashDigitsMatch(std::string_view s, size_t from, size_t& start1, size_t& end1,
                                            size_t& start2, size_t& end2) {
    size_t i = from;
    while (i < s.size()) {
        if (!isAsciiLetter(s[i])) {
            ++i;
            continue;
        }
        size_t e = i;
        while (e < s.size() && isAsciiLetter(s[e])) ++e;
        if (e + 1 < s.size() && s[e] == '-' && isAsciiDigit(s[e + 1])) {
            start1 = i;
            end1 = e;
            start2 = e + 1;
            end2 = e + 1;
            while (end2 < s.size() && isAsciiDigit(s[end2])) ++end2;
            return true;
        }
        // Every later start inside this letter run ends at the same e and fails too.
        i = e;
    }
    return false;
}

Variable ScriptEngine::gsubFunction(std::span<const Variable> args) {
    if (args.size() != 3) fail("gsub(string, pattern, replacement) requires exactly 3 arguments");
    if (args[0].type != VarType::String)
        fail("gsub(string, pattern, replacement): first argument must be a string");
    if (args[1].type != VarType::String)
        fail("gsub(string, pattern, replacement): second argument must be a string pattern");
    const Variable& replacement = args[2];
    if (replacement.type != VarType::String && replacement.type != VarType::Table)
        fail("gsub(string, pattern, replacement): replacement must be a string or table");
    const std::string& s = args[0].asString();
    const std::string& pattern = args[1].asString();
    const CompiledGsubPattern& compiled = getCachedGsubPattern(pattern);
    if (pattern == "%d") return Variable(replaceDigits(s, replacement));

    std::string out;
    out.reserve(s.size());
    withRegexStack(s.size(), [&] {
        BudgetedSubject subject(s, 0, pattern);
        const char* copiedUpTo = s.data();
        std::string scratch;
        for (CountedMatches it(subject.begin, subject.end, compiled.regex), end; it != end; ++it) {
            const CountedMatch& match = *it;
            out.append(copiedUpTo, match[0].first.base());
            copiedUpTo = match[0].second.base();
            if (replacement.type == VarType::Table)
                out += replacementFromTable(*replacement.asTable(), groupText(match[0]), scratch);
            else
                appendReplacement(out, replacement.asString(), s, match, compiled.groupCount);
        }
        out.append(copiedUpTo, s.data() + s.size());
    });
    return Variable(std::move(out));
}

void ScriptEngine::addPatternBuiltins(LibraryParts& parts) {
    parts.directGlobals["gsub"] = gsubFunction;
    TableStorage& library = parts.tables["string"];
    library["gsub"] = makeDirectCallable(gsubFunction, "string.gsub");
    library["find"] = makeDirectCallable(findFunction, "string.find");
    library["match"] = makeDirectCallable(matchFunction, "string.match");
    library["gmatch"] = makeDirectCallable(gmatchFunction, "string.gmatch");
}
