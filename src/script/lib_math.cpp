// The `math` table and the engine's random numbers (random, math.random,
// math.randomSeed). Results are 32-bit: ints for floor and ceil, floats for
// the transcendental functions.
#include "lib_support.h"

#include <cmath>

namespace {

using Args = std::span<const Variable>;
using library::requireCount;

Variable rounded(Args args, const char* message, double (*f)(double)) {
    requireCount(args, 1, message);
    return Variable(ScriptEngine::saturatingToInt(f(ScriptEngine::toDouble(args[0]))));
}

Variable transcendental(Args args, const char* message, double (*f)(double)) {
    requireCount(args, 1, message);
    return Variable(static_cast<float>(f(ScriptEngine::toDouble(args[0]))));
}

double toRadians(double degrees) {
    return degrees * 3.141592653589793 / 180;
}

Variable absolute(Args args) {
    requireCount(args, 1, "math['abs'](x) requires exactly 1 argument");
    if (args[0].type == VarType::Float) return Variable(std::fabs(args[0].asFloat()));
    const int32_t value = ScriptEngine::toInt(args[0]);
    // The most negative int has no positive counterpart and stays itself.
    return Variable(value < 0 ? static_cast<int32_t>(0u - static_cast<uint32_t>(value)) : value);
}

// The first argument that no later one beats; `sign` -1 picks the minimum.
Variable extremum(Args args, const char* message, int sign) {
    if (args.empty()) throw std::runtime_error(message);
    size_t pick = 0;
    for (size_t i = 1; i < args.size(); ++i)
        if (ScriptEngine::compareVariables(args[i], args[pick]) == sign) pick = i;
    return args[pick];
}

Variable logarithm(Args args) {
    if (args.empty() || args.size() > 2)
        throw std::runtime_error("math['log'](x[, base]) requires 1 or 2 arguments");
    const double x = ScriptEngine::toDouble(args[0]);
    if (!(x > 0)) throw std::runtime_error("math['log'] requires a positive value");
    if (args.size() == 1) return Variable(static_cast<float>(std::log(x)));
    const double base = ScriptEngine::toDouble(args[1]);
    if (!(base > 0) || base == 1)
        throw std::runtime_error("math['log'] base must be positive and not equal to 1");
    return Variable(static_cast<float>(std::log(x) / std::log(base)));
}

Variable squareRoot(Args args) {
    requireCount(args, 1, "math['sqrt'](x) requires exactly 1 argument");
    const double x = ScriptEngine::toDouble(args[0]);
    if (x < 0) throw std::runtime_error("math['sqrt'] requires a non-negative value");
    return Variable(static_cast<float>(std::sqrt(x)));
}

Variable floorOf(Args args) {
    return rounded(args, "math['floor'](x) requires exactly 1 argument", std::floor);
}
Variable ceilingOf(Args args) {
    return rounded(args, "math['ceil'](x) requires exactly 1 argument", std::ceil);
}
Variable minimum(Args args) {
    return extremum(args, "math['min'](...) requires at least 1 argument", -1);
}
Variable maximum(Args args) {
    return extremum(args, "math['max'](...) requires at least 1 argument", 1);
}
Variable sine(Args args) {
    return transcendental(args, "math['sin'](x) requires exactly 1 argument", std::sin);
}
Variable cosine(Args args) {
    return transcendental(args, "math['cos'](x) requires exactly 1 argument", std::cos);
}
Variable radians(Args args) {
    return transcendental(args, "math['rad'](x) requires exactly 1 argument", toRadians);
}

// The numeric functions of the math table in the order of their builtin ids.
constexpr std::pair<const char*, NumericFunction> numericFunctions[] = {
    {"floor", floorOf}, {"ceil", ceilingOf}, {"abs", absolute}, {"min", minimum},   {"max", maximum},
    {"sin", sine},      {"cos", cosine},     {"rad", radians},  {"log", logarithm}, {"sqrt", squareRoot}};

Variable randomFrom(uint32_t r, const std::vector<Variable>& args) {
    switch (args.size()) {
    case 0:
        return Variable(static_cast<float>(r) * 2.3283064e-10f);
    case 1: {
        if (args[0].type != VarType::Int)
            throw std::runtime_error("random function with one argument requires an integer");
        const int32_t max = args[0].asInt();
        if (max < 1) throw std::runtime_error("random function requires a positive maximum value");
        return Variable(static_cast<int32_t>(r % static_cast<uint32_t>(max)) + 1);
    }
    case 2: {
        if (args[0].type != VarType::Int || args[1].type != VarType::Int)
            throw std::runtime_error("random function with two arguments requires integers");
        const int32_t min = args[0].asInt(), max = args[1].asInt();
        if (min > max) throw std::runtime_error("random function requires min <= max");
        const uint32_t span = static_cast<uint32_t>(max) - static_cast<uint32_t>(min) + 1u;
        // The whole int range has 2^32 values, which wraps the span to 0:
        // every draw is then a fair pick by itself.
        const uint32_t offset = span == 0 ? r : r % span;
        return Variable(static_cast<int32_t>(static_cast<uint32_t>(min) + offset));
    }
    default:
        throw std::runtime_error("random function takes 0, 1, or 2 arguments");
    }
}

} // namespace

void ScriptEngine::addMathBuiltins(LibraryParts& parts) {
    NativeFunction random = [this](const std::vector<Variable>& args) {
        // One draw per call, whatever the arguments, so sequences stay aligned.
        const uint32_t r = static_cast<uint32_t>(randomGenerator());
        return randomFrom(r, args);
    };
    parts.globals["random"] = random;

    TableStorage& math = parts.tables["math"];
    auto add = [&math](const char* key, DirectFunction f, const std::string& name) {
        math[key] = makeDirectCallable(std::move(f), name);
    };
    for (const auto& [key, function] : numericFunctions) add(key, function, std::string("math.") + key);
    math["random"] = makeNativeCallable(random, "", 0);
    math["randomSeed"] = makeNativeCallable(
        [this](const std::vector<Variable>& args) {
            requireCount(args, 1, "math['randomSeed'](seed) requires exactly 1 argument");
            randomGenerator.seed(static_cast<uint32_t>(toInt(args[0])));
            return Variable();
        },
        "", 0);
    const Variable seed = math["randomSeed"]; // a copy: adding a key moves the entries
    math["randomseed"] = seed;
    math["pi"] = Variable(static_cast<float>(3.141592653589793));
}

bool ScriptEngine::isNumericBuiltin(BuiltinId id) {
    static const BuiltinId clock = builtinIdFromName("getTimeMs");
    return id == clock || numericBuiltin(id);
}

NumericFunction ScriptEngine::numericBuiltin(BuiltinId id) {
    static const BuiltinId first = builtinIdFromName("math.floor");
    const size_t index = static_cast<size_t>(id - first);
    return id >= first && index < std::size(numericFunctions) ? numericFunctions[index].second : nullptr;
}
