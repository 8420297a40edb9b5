// The statements' own work, which the steps of a run call on: conditions,
// loop headers, function declarations, returns and plain statements. BrumeScript has no "then" and no "do": a
// condition or loop header is the whole rest of its line.
#include "ScriptEngine.h"

#include "engine_internal.h"

// A condition that is not decided as a number: its full value.
bool ScriptEngine::evaluateGeneralCondition(const ParsedScriptLine& line) {
    enterLine(line);
    const CompiledExpression& expr = line.compiledExpression;
    try {
        // A name (`if enter`) is judged where it is, uncopied.
        const ExpressionNode& root = expr.nodes[expr.root];
        const Variable* v =
            root.kind == ExpressionNodeKind::Variable ? resolveVariableId(root.nameId) : nullptr;
        return v ? isTruthy(*v) : isTruthy(evaluateNode(expr, expr.root, line));
    } catch (const std::exception& error) {
        rethrowAsReport(error);
    }
}

void ScriptEngine::requireUntilCondition(const ParsedScriptLine& until) {
    if (until.tokens.size() > 1) return;
    enterLine(until);
    throwError("Missing until condition", "");
}

// A bound of a numeric for, computed as a number where the scalar attempt can.
int32_t ScriptEngine::loopBound(const CompiledExpression& expr, const ParsedScriptLine& line) {
    ScalarValue scalar;
    if (!expr.valid || !expr.mayBeScalar() || !scalarValueOf(expr, expr.root, line, scalar))
        return toInt(evaluateCompiled(expr, line));
    setErrorToken(line.tokens, expr.nodes[expr.root].errorToken);
    return scalar.kind == ScalarValue::Int ? scalar.i : toInt(scalarToVariable(scalar));
}

ScriptEngine::NumericForClause ScriptEngine::evaluateNumericForClause(const ParsedScriptLine& line) {
    int32_t bounds[3] = {0, 0, 1};
    for (size_t i = 0; i < line.compiledValues.size(); ++i)
        bounds[i] = loopBound(line.compiledValues[i], line);
    NumericForClause clause{bounds[0], bounds[1], bounds[2]};
    if (clause.step == 0) throw std::runtime_error("for loop step must not be 0");
    return clause;
}

// A frame scope holding loop variables, all nil at first; returns its index.
size_t ScriptEngine::pushLoopScope(std::span<const uint32_t> nameIds) {
    scopes.push(Scopes::Frame);
    for (uint32_t id : nameIds) scopes.bind(Scopes::Frame, id, Variable());
    return scopes.count(Scopes::Frame) - 1;
}

// A generic for's loop names; returns where its "in" should stand.
size_t ScriptEngine::readGenericForNames(const ParsedScriptLine& line, std::vector<uint32_t>& names) {
    size_t t = 1;
    while (t < line.tokens.size() && line.tokenInfo[t].isIdentifier && line.tokens[t] != "in") {
        names.push_back(line.tokenInfo[t++].nameId);
        if (tokenAt(line, t) != ",") break;
        ++t;
    }
    return t;
}

std::vector<uint32_t> ScriptEngine::parseGenericForNames(const ParsedScriptLine& line, size_t& t) {
    std::vector<uint32_t> names;
    t = readGenericForNames(line, names);
    if (tokenAt(line, t) != "in") throwError("Expected 'in' in generic for loop", tokenAt(line, t));
    if (names.empty()) throwError("generic for loop requires at least one loop variable", tokenAt(line, t));
    ++t;
    return names;
}

// With several names, an array element is spread over them; otherwise the
// first name takes the element.
void ScriptEngine::bindLoopValues(size_t loopScope, const Variable& item) {
    const size_t names = scopes.frameScopeSize(loopScope);
    if (names > 1 && item.type == VarType::Array) {
        const ArrayStorage& parts = *item.asArray();
        for (size_t n = 0; n < names; ++n)
            scopes.frameBinding(loopScope, n) = n < parts.size() ? parts[n] : Variable();
        return;
    }
    scopes.frameBinding(loopScope, 0) = item;
    for (size_t n = 1; n < names; ++n) scopes.frameBinding(loopScope, n) = Variable();
}

// Whether a loop over `name(c)` walks c directly: so it does when the name
// holds the library's own pairs or ipairs.
bool ScriptEngine::walksContainer(uint32_t nameId) {
    static const uint32_t pairs = internName("pairs"), ipairs = internName("ipairs");
    return (nameId == pairs || nameId == ipairs) &&
           isBuiltin(resolveVariableId(nameId), builtinIdFromName(nameOf(nameId)));
}

ScriptEngine::ForIterator ScriptEngine::forIterator(const ParsedScriptLine& line) {
    const CompiledExpression& expr = line.compiledExpression;
    const ExpressionNode& root = expr.nodes[expr.root];
    if (root.kind == ExpressionNodeKind::Call) {
        const CallExpression& call = expr.calls[root.right];
        const ExpressionNode& callee = expr.nodes[call.callee];
        if (call.args.size() == 1 && callee.kind == ExpressionNodeKind::Variable &&
            walksContainer(callee.nameId)) {
            Variable container = evaluateNode(expr, call.args[0], line);
            setErrorToken(line.tokens, expr.nodes[call.args[0]].errorToken);
            return {std::move(container), callee.nameId};
        }
    }
    return {evaluateCompiled(expr, line), 0};
}

// The values a generic for walks: pairs(c) and ipairs(c) walk the container
// directly; any other iterator expression must give an array.
std::vector<Variable> ScriptEngine::collectForItems(const ParsedScriptLine& line, size_t t) {
    const bool stringWalk = callsStringWalker(line, t);
    const ForIterator walked = forIterator(line);
    if (walked.byName) return containerWalk(walked.value, nameOf(walked.byName) == "ipairs");
    const Variable& iterator = walked.value;
    if (iterator.type == VarType::Array) return *iterator.asArray();
    // string.byte and string.gmatch give their values as a multi-value, or
    // alone when there is one: a loop walks them all.
    if (stringWalk) {
        if (iterator.type == VarType::Multi) return iterator.asMulti()->values;
        if (iterator.isNone()) return {};
        return {iterator};
    }
    throw std::runtime_error("generic for loops expect an array iterator");
}

// Whether the iterator at token t is a call string['byte'](...) or
// string['gmatch'](...) of the library functions themselves.
bool ScriptEngine::callsStringWalker(const ParsedScriptLine& line, size_t t) {
    const auto& tokens = line.tokens;
    if (t + 5 > tokens.size() || tokens[t] != "string" || tokens[t + 1] != "[" || tokens[t + 3] != "]" ||
        tokens[t + 4] != "(")
        return false;
    const std::string member = decodeStringToken(tokens[t + 2]);
    if (member != "byte" && member != "gmatch") return false;
    const Variable* library = resolveVariableId(line.tokenInfo[t].nameId);
    if (!library || library->type != VarType::Table) return false;
    const Variable* found = library->asTable()->find(member);
    return found && isBuiltin(found, builtinIdFromName("string." + member));
}

// The name token of a declared function's target.
size_t ScriptEngine::functionTargetName(const ParsedScriptLine& line) const {
    const size_t t = functionNameIndex(line);
    if (!hasFunctionTargetName(line)) throwError("Expected function target", tokenAt(line, t));
    return t;
}

// The parameter list after the target name[k1]...: the tokens only, so
// that checking a line reads it as running it does.
void ScriptEngine::readFunctionParameters(const ParsedScriptLine& line, size_t nameIndex,
                                          ScriptCallable& function) {
    size_t t = line.compiledValues.empty() ? nameIndex + 1 : line.compiledValues.back().endToken + 1;
    if (tokenAt(line, t) != "(") throwError("Expected '(' after function target", tokenAt(line, t));
    for (size_t i = nameIndex; i < t; ++i) function.name += line.tokens[i];
    ++t;
    parseParameters(line, t, function);
    function.isCoroutineEntry = line.kind == StatementKind::DecayFunctionDecl;
}

ScriptEngine::FunctionHeader ScriptEngine::parseFunctionHeader(const ParsedScriptLine& line,
                                                               ScriptCallable& function) {
    FunctionHeader header;
    header.nameIndex = functionTargetName(line);
    for (const CompiledExpression& key : line.compiledValues)
        header.keys.push_back(evaluateCompiled(key, line));
    readFunctionParameters(line, header.nameIndex, function);
    return header;
}

void ScriptEngine::storeFunction(const ParsedScriptLine& line, const FunctionHeader& header,
                                 Variable function) {
    const std::string& name = line.tokens[header.nameIndex];
    if (header.keys.empty()) {
        ScopeTarget target = line.kind == StatementKind::NativeFunctionDecl  ? ScopeTarget::Frame
                             : line.kind == StatementKind::LocalFunctionDecl ? ScopeTarget::Local
                                                                             : ScopeTarget::Default;
        return assignVariable(name, function, target);
    }
    Variable* container = resolveVariablePtr(name);
    if (!container) throw std::runtime_error("Indexing requires an array, table, or string");
    for (size_t i = 0; i + 1 < header.keys.size(); ++i)
        container = &getIndexedValueMutable(*container, header.keys[i], true);
    setIndexedValue(*container, header.keys.back(), function, true);
}

void ScriptEngine::parseParameters(const ParsedScriptLine& line, size_t& t, ScriptCallable& function) {
    if (tokenAt(line, t) != ")") {
        while (true) {
            if (tokenAt(line, t) == "...") {
                function.isVararg = true;
                if (tokenAt(line, ++t) != ")")
                    throwError("Expected ')' after function parameters", tokenAt(line, t));
                break;
            }
            if (t >= line.tokens.size() || !line.tokenInfo[t].isIdentifier)
                throwError("Expected function parameter name", tokenAt(line, t));
            function.paramIds.push_back(line.tokenInfo[t++].nameId);
            if (tokenAt(line, t) == ",")
                ++t;
            else if (tokenAt(line, t) == ")")
                break;
            else
                throwError("Expected ',' or ')' after function parameter", tokenAt(line, t));
        }
    }
    ++t;
    if (t != line.tokens.size()) throwError("Unexpected token after function declaration", tokenAt(line, t));
}

// The values of a statement's parts, computed in order.
std::vector<Variable> ScriptEngine::evaluateParts(const std::vector<CompiledExpression>& parts,
                                                  const ParsedScriptLine& line) {
    std::vector<Variable> values;
    values.reserve(parts.size());
    for (const CompiledExpression& part : parts) values.push_back(evaluateCompiled(part, line));
    return values;
}

Variable ScriptEngine::returnValues(const ParsedScriptLine& line) {
    if (line.compiledValues.empty()) return {};
    return makeMulti(evaluateParts(line.compiledValues, line));
}

// `local a, b` or `native a`: names declared with no value.
bool ScriptEngine::isBareDeclaration(const ParsedScriptLine& line) {
    const auto& tokens = line.tokens;
    if (tokens.size() < 2 || (tokens[0] != "local" && tokens[0] != "native")) return false;
    for (size_t t = 1; t < tokens.size(); t += 2) {
        if (!line.tokenInfo[t].isIdentifier) return false;
        if (t + 1 < tokens.size() && tokens[t + 1] != ",") return false;
    }
    return true;
}

// A bare declaration defines the names as nil.
bool ScriptEngine::declareWithoutValue(const ParsedScriptLine& line) {
    if (!isBareDeclaration(line)) return false;
    const auto& tokens = line.tokens;
    ScopeTarget target = tokens[0] == "local" ? ScopeTarget::Local : ScopeTarget::Frame;
    for (size_t t = 1; t < tokens.size(); t += 2) assignVariable(tokens[t], Variable(), target);
    return true;
}

void ScriptEngine::executeGeneralStatement(const ParsedScriptLine& line) {
    if (line.assignOpIndex) return executeAssignment(line);
    if (declareWithoutValue(line)) return;
    evaluateCompiled(line.compiledExpression, line);
}
