#include "host_args.h"

#include <cmath>
#include <limits>
#include <stdexcept>

void bindingError(const std::string& function, const std::string& detail) {
    throw std::runtime_error(function + ": " + detail);
}

const Variable& requireArg(const std::vector<Variable>& args, size_t index, const std::string& function) {
    if (index >= args.size()) bindingError(function, "missing argument " + std::to_string(index + 1));
    return args[index];
}

double numericValue(const Variable& value, const std::string& function, const std::string& argName) {
    if (!value.isNumeric()) bindingError(function, argName + " must be numeric");
    return ScriptEngine::toDouble(value);
}

std::string stringValue(const Variable& value, const std::string& function, const std::string& argName) {
    if (value.type != VarType::String) bindingError(function, argName + " must be a string");
    return value.asString();
}

void* pointerValue(const Variable& value, const std::string& function, const std::string& argName) {
    if (value.isNone()) return nullptr;
    if (value.type != VarType::Pointer) bindingError(function, argName + " must be a pointer");
    return value.asPointer();
}

Variable returnValues(std::vector<Variable> values) {
    return makeMulti(std::move(values));
}

int32_t truncateToInt(double value) {
    if (std::isnan(value)) return 0;
    constexpr double low = std::numeric_limits<int32_t>::min(), high = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(std::clamp(std::trunc(value), low, high));
}

int32_t intArg(const std::vector<Variable>& args, size_t index, const std::string& function,
               const std::string& argName) {
    return truncateToInt(numberArg(args, index, function, argName));
}

double numberArg(const std::vector<Variable>& args, size_t index, const std::string& function,
                 const std::string& argName) {
    return numericValue(requireArg(args, index, function), function, argName);
}

std::string stringArg(const std::vector<Variable>& args, size_t index, const std::string& function,
                      const std::string& argName) {
    return stringValue(requireArg(args, index, function), function, argName);
}

bool flagValue(const Variable& value) {
    return !(value.isNone() || (value.type == VarType::Bool && !value.asBool()));
}
