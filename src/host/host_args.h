// The argument checks every host binding uses, so that all of them report bad
// arguments in one format: "Module.member: detail".
#pragma once

#include "ScriptEngine.h"

#include <string>
#include <vector>

// One member of a module table: its name and the native function behind it.
struct HostMember {
    const char* name;
    NativeFunction function;
};
using HostMembers = std::vector<HostMember>;

[[noreturn]] void bindingError(const std::string& function, const std::string& detail);
const Variable& requireArg(const std::vector<Variable>& args, size_t index, const std::string& function);
double numericValue(const Variable& value, const std::string& function, const std::string& argName);
std::string stringValue(const Variable& value, const std::string& function, const std::string& argName);
void* pointerValue(const Variable& value, const std::string& function, const std::string& argName);
Variable returnValues(std::vector<Variable> values);

// The argument at `index` through numericValue, truncated toward zero to a
// 32-bit int (saturating, so that a huge double stays defined).
int32_t intArg(const std::vector<Variable>& args, size_t index, const std::string& function,
               const std::string& argName);
double numberArg(const std::vector<Variable>& args, size_t index, const std::string& function,
                 const std::string& argName);
std::string stringArg(const std::vector<Variable>& args, size_t index, const std::string& function,
                      const std::string& argName);
// A flag argument: false when nil or false, true for any other value.
bool flagValue(const Variable& value);
int32_t truncateToInt(double value);
