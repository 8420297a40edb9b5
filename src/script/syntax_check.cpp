// Checking a script's syntax without running it: every line reports the
// first syntax error that running it would raise.
#include "ScriptEngine.h"

#include "engine_internal.h"

// The first syntax error of a line, as running it would raise it: its
// compiled parts in the order they run, and the checks around them.
void ScriptEngine::checkLineSyntax(const ParsedScriptLine& line) {
    auto check = [&](const CompiledExpression& part) {
        if (part.syntaxError >= 0) raiseSyntaxError(part, part.nodes[part.syntaxError], line);
    };
    auto checkAll = [&](const std::vector<CompiledExpression>& parts) {
        for (const CompiledExpression& part : parts) check(part);
    };
    switch (line.kind) {
    case StatementKind::Until:
        requireUntilCondition(line);
        return check(line.compiledExpression);
    case StatementKind::If:
    case StatementKind::ElseIf:
    case StatementKind::While:
        return check(line.compiledExpression);
    case StatementKind::For:
        if (isNumericFor(line)) return checkAll(line.compiledValues);
        size_t t;
        parseGenericForNames(line, t);
        return check(line.compiledExpression);
    case StatementKind::FunctionDecl:
    case StatementKind::DecayFunctionDecl:
    case StatementKind::NativeFunctionDecl:
    case StatementKind::LocalFunctionDecl: {
        const size_t name = functionTargetName(line);
        checkAll(line.compiledValues);
        ScriptCallable unused;
        return readFunctionParameters(line, name, unused);
    }
    case StatementKind::Return:
        return checkAll(line.compiledValues);
    case StatementKind::Simple:
        checkAll(line.compiledValues);
        for (const ParsedAssignmentTarget& target : line.assignmentTargets) {
            checkAssignmentTarget(line, target);
            checkAll(target.compiledIndexes);
        }
        if (line.assignOpIndex == 0 && !isBareDeclaration(line)) check(line.compiledExpression);
        return;
    default:
        return;
    }
}

std::vector<std::string> ScriptEngine::checkSyntax(const std::string& source, const std::string& scriptPath) {
    const std::string directory = pathDirectory(scriptPath);
    ProgramStackGuard guard(scriptPathStack, directoryStack, scriptPath, directory);
    auto reportOf = [&](const std::exception& error) {
        return isErrorReport(error.what()) ? std::string(error.what())
                                           : formatErrorReport(error.what(), errorContext.token());
    };
    // The checked lines die with this call; so does the context pointing at them.
    struct ClearContext {
        ErrorContext& context;
        ~ClearContext() { context = {}; }
    } clear{errorContext};
    std::vector<std::string> reports;
    try {
        // Unclosed blocks and bad block structure, reported at their opener.
        compileToBytecode(source);
    } catch (const std::exception& error) {
        reports.push_back(reportOf(error));
    }
    ParsedLines lines;
    try {
        lines = parseLines(source);
    } catch (const std::exception& error) {
        if (reports.empty()) reports.push_back(reportOf(error));
        return reports;
    }
    for (const ParsedScriptLine& line : lines) {
        enterLine(line);
        try {
            checkLineSyntax(line);
        } catch (const std::exception& error) {
            reports.push_back(reportOf(error));
        }
    }
    return reports;
}
