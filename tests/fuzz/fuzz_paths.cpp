// Differential target: the interpreter's fast paths (precompiled expressions,
// scalar code, direct builtins) must behave exactly like its general paths. The input bytes drive a generator
// of always-terminating programs (no while or repeat, recursion only with small constant depth); each program
// runs once on a fresh engine with the fast paths and once on a fresh engine with the general paths alone.
// Whether it threw, the error report with its call trace, and the text it gathered in the global `out` must
// agree; on a difference both outcomes and the script go to stderr and the target aborts.
//
// Gathered text goes through `show`, which walks table keys in sorted order,
// so the output never depends on hash-map order. Functions that may become
// the new value of a library name call nothing at all, so rebinding a
// library name can never make a cycle of calls.
#include "ScriptEngine.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

const char* const prelude = R"(_ts = toString
_ty = typeOf
_keys = keys
out = ''
function show(_v, _d)
  local _s = _ts(_v)
  if _ty(_v) ~= 'table' or _s == '[multivalue]' or _d > 2
    return _s
  end
  local _r = ''
  if _s[1] == '['
    for _i = 1, #_v
      _r = _r + show(_v[_i], _d + 1) + ','
    end
    return '[' + _r + ']'
  end
  local _k = _keys(_v)
  for _i = 1, #_k
    _r = _r + _k[_i] + ':' + show(_v[_k[_i]], _d + 1) + ','
  end
  return '{' + _r + '}'
end
function note(_v)
  out = out + show(_v, 0) + ';'
end
)";

template <size_t N> std::string oneOf(const char* const (&words)[N], unsigned index) {
    return words[index % N];
}

const char* const numbers[] = {"0",     "1",   "2",    "3",          "-1",         "7",           "0.0",
                               "0.5",   "1.5", "-2.5", "2147483647", "2147483646", "-2147483647", "46341",
                               "65536", "3.0", ".5",   "1.",         "100",        "0.1"};
const char* const strings[] = {"'a'", "'ab'", "''", "'10'", "'2.5'", "'B c'", "'xyz'", "'-3'"};
const char* const scalars[] = {"x", "y", "z", "w"};
const char* const arrays[] = {"arr", "brr"};
const char* const tables[] = {"t", "u"};
const char* const keys[] = {"'a'", "'b'", "'c'", "'k'", "'1'", "1", "2", "'zz'"};
const char* const binaryOps[] = {
    "+", "-", "*", "/", "\\", "%", "^", "==", "~=", "!=", "<", ">", "<=", ">=", "and", "or", "&&", "||"};
const char* const compoundOps[] = {"=", "+=", "-=", "*=", "/=", "\\=", "%=", "^="};
const char* const numericCalls[] = {"math['floor']", "math['ceil']", "math['abs']", "math['sqrt']",
                                    "math['sin']",   "math['cos']",  "math['rad']", "math['log']"};
// Never a name that is given containers: a leaf returning its argument could
// put an array into itself, and the cycle would leak.
const char* const rebindable[] = {"math['floor']", "math['abs']",   "math['sqrt']",  "math['max']",
                                  "math['log']",   "string['len']", "string['sub']", "string['upper']",
                                  "math['min']",   "toString",      "toNumber",      "len",
                                  "error"};

class Generator {
  public:
    Generator(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    std::string program() {
        std::string text = prelude;
        for (const char* name : scalars) text += std::string(name) + " = " + literal() + "\n";
        text += "arr = [" + literal() + ", " + literal() + ", " + literal() + "]\nbrr = []\n";
        text += "t = {a: " + literal() + ", b: " + literal() + ", c: " + literal() + "}\nu = {k: 0}\n";
        // Leaves first; each later function may call only those before it.
        for (int f = 1; f <= 4; ++f) {
            calls_ = f <= 2 ? 0 : f - 1;
            text += function("f" + std::to_string(f));
            if (f == 2) text += "fs = {g: f1, h: f2}\n";
        }
        calls_ = 0;
        text += "function rec(_n)\n  if _n <= 0\n    return " + expr(1) +
                "\n  end\n  return _n + rec(_n - 1)\nend\n";
        calls_ = 5;
        inFunction_ = true;
        for (int g = 1; g <= 10 && more(); ++g) {
            const std::string name = "_g" + std::to_string(g);
            if (oneIn(8)) {
                inFunction_ = false;
                text += block(0, 4); // uncaught: an error here ends the run
                inFunction_ = true;
            } else {
                text += "function " + name + "()\n" + block(1, 6) + "end\n";
                text += "_ok, _m = pcall(" + name + ")\nnote(_ok)\nnote(_m)\n";
            }
        }
        for (const char* name : {"x", "y", "z", "w", "arr", "brr", "t", "u"})
            text += "note(" + std::string(name) + ")\n";
        return text;
    }

  private:
    bool more() const { return pos_ < size_; }
    // Exhausted input picks 0: the simplest choice everywhere, so every program ends.
    unsigned pick(unsigned n) { return more() ? data_[pos_++] % n : 0; }
    bool oneIn(unsigned n) { return more() && pick(n) == 0; }
    template <size_t N> const char* choose(const char* const (&words)[N]) { return words[pick(N)]; }

    std::string literal() {
        // Mostly numbers, so that most operations get past their type checks.
        switch (pick(16)) {
        case 0:
        case 1:
            return choose(strings);
        case 2:
            return oneOf({"true", "false", "ture", "flse"}, pick(4));
        case 3:
            return oneOf({"not", "nope"}, pick(2)); // the nil literal, and a name never assigned
        default:
            return choose(numbers);
        }
    }

    std::string name() {
        if (inFunction_ && oneIn(3)) return pick(2) ? "p" : "q";
        if (loops_ > 0 && oneIn(3)) return loops_ > 1 && pick(2) ? "j" : "i";
        // Outside a loop of its own, a function sees its callers' loop variables.
        if (inFunction_ && oneIn(12)) return "i";
        return choose(scalars);
    }

    std::string index() {
        // Literals are read at once, so no scalar name is ever given a container.
        if (oneIn(8))
            return "[" + expr(1) + ", " + expr(1) + "][" + oneOf({"1", "2", "3", "1.0"}, pick(4)) + "]";
        if (oneIn(8))
            return "{a: " + expr(1) + ", " + expr(1) + ", [" + expr(1) + "]: " + expr(1) + "}[" +
                   oneOf({"'a'", "'1'", "'2'", "1"}, pick(4)) + "]";
        if (oneIn(5)) return name() + "[" + oneOf({"1", "2", "0", "1.5", "'len'"}, pick(5)) + "]";
        if (pick(2)) return std::string(choose(tables)) + "[" + (oneIn(3) ? expr(1) : choose(keys)) + "]";
        return std::string(choose(arrays)) + "[" + (pick(2) ? expr(1) : choose(numbers)) + "]";
    }

    // Stores use small keys only: a store far past an array's end fills the gap.
    std::string target() {
        if (pick(2)) return std::string(choose(tables)) + "[" + (oneIn(3) ? expr(1) : choose(keys)) + "]";
        const std::string key =
            oneOf({"1", "2", "3", "4", "0", "-1", "1.5", "'a'", "i"}, pick(loops_ > 0 ? 9 : 8));
        return std::string(choose(arrays)) + "[" + key + "]";
    }

    std::string args(int depth, unsigned most) {
        std::string text;
        for (unsigned n = pick(most + 1); n > 0; --n) text += expr(depth) + (n > 1 ? ", " : "");
        return text;
    }

    std::string callee() { return "f" + std::to_string(1 + pick(calls_ < 4 ? calls_ : 4)); }

    std::string binary(int depth) {
        const std::string left = expr(depth);
        const std::string op = choose(binaryOps);
        const std::string right = expr(depth);
        // Parentheses now and then, so that a skipped operand can end before the statement does.
        if (oneIn(3)) return "(" + left + " " + op + " " + right + ")";
        return left + " " + op + " " + right;
    }

    std::string call(int depth) {
        switch (pick(9)) {
        case 0:
            return std::string(choose(numericCalls)) + "(" + args(depth, oneIn(4) ? 2 : 1) + ")";
        case 1:
            return oneOf({"math['min'](", "math['max'](", "math['log']("}, pick(3)) + args(depth, 3) + ")";
        case 2:
            return "string['sub'](" + expr(depth) + ", " + expr(depth) + (pick(2) ? ", " + expr(depth) : "") +
                   ")";
        case 3:
            return oneOf({"string['len'](", "string['upper'](", "toString(", "toNumber(", "len("}, pick(5)) +
                   expr(depth) + (oneIn(4) ? ", 16)" : ")");
        case 4:
            return oneOf({"table['concat'](", "table['remove'](", "string['rep']('ab', 3) + toString("},
                         pick(3)) +
                   choose(arrays) + (pick(3) ? ")" : ", " + std::string(choose(strings)) + ")");
        case 5:
            return "rec(" + std::to_string(pick(6)) + ")";
        case 6:
            return std::string(pick(2) ? "fs['g'](" : "fs['h'](") + args(depth, 2) + ")";
        default:
            return callee() + "(" + args(depth, 2) + ")";
        }
    }

    std::string expr(int depth) {
        if (depth <= 0) return pick(2) ? literal() : name();
        switch (pick(12)) {
        case 0:
            return literal();
        case 1:
            return name();
        case 2:
        case 3:
            return binary(depth - 1);
        case 4:
            return "(" + binary(depth - 1) + ")";
        case 5: {
            const std::string op = oneOf({"-", "not ", "!", "- -"}, pick(4));
            const std::string operand = expr(depth - 1);
            // `not -x` is a bare `not` minus x: the known difference of bare `not`, avoided.
            if (op == "not " && operand[0] == '-') return op + "(" + operand + ")";
            return op + operand;
        }
        case 6:
            return "#" + (pick(3) ? std::string(choose(arrays)) : pick(2) ? choose(tables) : name());
        case 7:
            return index();
        case 8: {
            const std::string v = name();
            return v + oneOf({" - ", " * 0 + ", " % "}, pick(3)) + v;
        }
        default:
            if (calls_ == 0) return expr(depth - 1);
            return call(depth - 1);
        }
    }

    // Numbers, zero among them, are the subtle conditions.
    std::string condition() {
        switch (pick(8)) {
        case 0:
            return oneOf({"0", "0.0", "1", "-0.0", "not 0", "0 and 1", "'s' and 0", "(not)"}, pick(8));
        case 1:
            return name() + " - " + name();
        case 2:
            return name();
        case 3:
            return index();
        case 4:
            return "#" + std::string(choose(arrays));
        default:
            return expr(2);
        }
    }

    std::string statement(int indent) {
        const std::string pad(indent * 2, ' ');
        if (budget_ > 0) --budget_;
        switch (budget_ > 0 && indent < 4 ? pick(16) : pick(4)) {
        case 0:
            return pad + "note(" + expr(2) + ")\n";
        case 1:
            return pad + oneOf({"", "", "local ", "native "}, pick(4)) + name() + " = " + expr(2) + "\n";
        case 2:
            return pad + name() + " " + choose(compoundOps) + " " + expr(2) + "\n";
        case 3:
            return pad + target() + " " + choose(compoundOps) + " " + expr(2) + "\n";
        case 4: {
            std::string text = pad + "if " + condition() + "\n" + block(indent + 1, 3);
            for (unsigned n = pick(3); n > 0; --n)
                text += pad + "elseif " + condition() + "\n" + block(indent + 1, 2);
            if (pick(2)) text += pad + "else\n" + block(indent + 1, 2);
            return text + pad + "end\n";
        }
        case 5: {
            if (loops_ >= 2) return pad + "note(" + index() + ")\n";
            // Computed bounds stay small: a remainder by 3, or a length and its step down.
            const std::string bounds =
                oneIn(4) ? (pick(2) ? "1, " + name() + " % 3" : "#" + std::string(choose(arrays)) + ", 1, -1")
                         : oneOf({"1, 3", "3, 1, -1", "0, 2", "1, 2.9", "2, 2", "1, 0", "-1, 1, 2"}, pick(7));
            ++loops_;
            const std::string var = loops_ > 1 ? "j" : "i";
            // A walk over a container collects its items first, so it ends however the body changes it.
            std::string text =
                pad + "for " + var +
                (oneIn(3)
                     ? " in " + oneOf({"pairs(t)", "ipairs(arr)", "pairs(u)", "arr", "[x, 2]", "pairs(brr)"},
                                      pick(6))
                     : " = " + bounds) +
                "\n";
            if (oneIn(4)) text += pad + "  if " + condition() + "\n" + pad + "    break\n" + pad + "  end\n";
            text += block(indent + 1, 3);
            --loops_;
            return text + pad + "end\n";
        }
        case 6:
            if (calls_ == 0) return pad + "note(" + expr(1) + ")\n";
            return pad + call(2) + "\n";
        case 7:
            return pad + "table['insert'](" + choose(arrays) + ", " + (oneIn(3) ? expr(1) + ", " : "") +
                   expr(2) + ")\n";
        case 8:
            if (calls_ == 0) return pad + name() + ", " + name() + " = " + expr(1) + ", " + expr(1) + "\n";
            return pad + "_ok, _m = pcall(" + (pick(2) ? callee() : "fs['g']") +
                   (pick(2) ? ", " + expr(1) : "") + (pick(2) ? ", " + expr(1) : "") + ")\n" + pad +
                   "note(_ok)\n" + pad + "note(_m)\n";
        case 9:
            if (!inFunction_ || calls_ == 0) return pad + name() + " = " + expr(2) + "\n";
            return rebind(pad);
        case 10:
            if (pick(3)) return pad + "error('boom')\n";
            return pad + (pick(2) ? "error(" : "assert(") + expr(1) + (pick(2) ? ", 'bad')\n" : ")\n");
        case 11:
            return pad + std::string(choose(arrays)) + " = " +
                   (pick(2) ? "[" + args(1, 3) + "]" : std::string(choose(arrays))) + "\n";
        case 12:
            return pad + std::string(choose(tables)) + " = {" + (pick(2) ? "a: " + expr(1) + ", " : "") +
                   "b: " + expr(1) + "}\n";
        case 13:
            if (inFunction_ && oneIn(3))
                return pad + "return " + expr(2) + (oneIn(3) ? ", " + expr(1) : "") + "\n";
            return pad + "note(" + (calls_ > 0 ? call(1) : expr(1)) + ")\n";
        default:
            return pad + "note(" + expr(3) + ")\n";
        }
    }

    // Only leaves (f1, f2) become library names, and leaves call nothing
    // but note, table['insert'] and error; error is only ever replaced by a
    // function defined in place, which calls nothing.
    std::string rebind(const std::string& pad) {
        const std::string target = choose(rebindable);
        const std::string leaf = pick(2) ? "f1" : "f2";
        const bool member = target.find('[') != std::string::npos;
        switch (target == "error" ? 2 : pick(3)) {
        case 0:
            return pad + target + " = " + leaf + "\n";
        case 1:
            if (!member) return pad + "local " + target + " = " + leaf + "\n";
            [[fallthrough]];
        default:
            if (member)
                return pad + "function " + target + "(p, q)\n" + pad + "  return " + leafExpr() + "\n" + pad +
                       "end\n";
            return pad + (pick(2) ? "local function " : "function ") + target + "(p, q)\n" + pad +
                   "  return " + leafExpr() + "\n" + pad + "end\n";
        }
    }

    std::string leafExpr() {
        const unsigned saved = calls_;
        calls_ = 0;
        const std::string text = expr(2);
        calls_ = saved;
        return text;
    }

    // A lone return, a guard raising an error, a guarded return: the shapes
    // the hottest game functions have; and longer bodies.
    std::string function(const std::string& name) {
        inFunction_ = true;
        std::string text = "function " + name + "(p, q)\n";
        switch (pick(5)) {
        case 0:
            text += "  return " + expr(2) + (oneIn(4) ? ", " + expr(1) : "") + "\n";
            break;
        case 1:
            text += "  if " + condition() + "\n    error('" + name + " refused')\n  end\n  return " +
                    expr(2) + "\n";
            break;
        case 2:
            text += "  if " + condition() + "\n    return " + expr(2) + "\n  end\n  return " + expr(2) + "\n";
            break;
        default:
            text += block(1, 4) + "  return " + expr(2) + "\n";
        }
        inFunction_ = false;
        return text + "end\n";
    }

    std::string block(int indent, unsigned most) {
        std::string text;
        for (unsigned n = 1 + pick(most); n > 0; --n) text += statement(indent);
        return text;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    unsigned calls_ = 0; // how many of f1.. may be called here; 0 also forbids library calls
    int loops_ = 0;
    bool inFunction_ = false;
    int budget_ = 120;
};

struct Outcome {
    bool threw = false;
    std::string report;
    std::string out;
    bool operator==(const Outcome&) const = default;
};

const std::string& scratchFolder() {
    static const std::string folder = [] {
        char name[] = "/tmp/fuzz_paths_XXXXXX";
        if (!::mkdtemp(name)) std::abort();
        return std::string(name);
    }();
    return folder;
}

Outcome run(const std::string& script, bool generalPathsOnly) {
    // The switch is read while lines are prepared and calls are made, so it
    // holds for the whole run of a fresh engine.
    ScriptEngine::useGeneralPathsOnly(generalPathsOnly);
    Outcome outcome;
    {
        auto engine = std::make_unique<ScriptEngine>();
        engine->confineToFolder(scratchFolder());
        try {
            engine->runScript(script);
        } catch (const std::exception& error) {
            outcome.threw = true;
            outcome.report = error.what() + engine->errorCallTrace();
        }
        try {
            outcome.out = engine->pullVariable("out").toString();
        } catch (const std::exception& error) {
            outcome.out = std::string("<no out: ") + error.what() + ">";
        }
    }
    ScriptEngine::useGeneralPathsOnly(false);
    return outcome;
}

void describe(const char* paths, const Outcome& outcome) {
    std::fprintf(stderr, "---- %s paths: %s\n%s\n---- out:\n%s\n", paths,
                 outcome.threw ? "threw" : "finished", outcome.report.c_str(), outcome.out.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string script = Generator(data, size).program();
    const Outcome fast = run(script, false);
    const Outcome general = run(script, true);
    if (fast == general) return 0;
    std::fprintf(stderr, "==== fast and general paths differ\n---- script:\n%s", script.c_str());
    describe("fast", fast);
    describe("general", general);
    std::abort();
}
