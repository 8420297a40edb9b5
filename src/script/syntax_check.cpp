// Checking a script's syntax without running it: every line is read the way
// the executor reads it, with expressions skipped instead of evaluated.
#include "ScriptEngine.h"

#include "engine_internal.h"

namespace {

const char* conditionMessage(StatementKind kind) {
    switch (kind) {
    case StatementKind::While:
        return "Unexpected token after while condition";
    case StatementKind::Until:
        return "Unexpected token after until condition";
    default:
        return "Unexpected token after if condition";
    }
}

} // namespace

void ScriptEngine::checkLineSyntax(const ParsedScriptLine& line) {
    const auto& tokens = line.tokens;
    auto skip = [&](size_t& t) { skipExpression(line, t); };
    auto expect = [&](size_t t, std::string_view token, const char* message) {
        if (tokenAt(line, t) != token) throwError(message, tokenAt(line, t));
    };
    auto expectEnd = [&](size_t t, const char* message) {
        if (t != tokens.size()) throwError(message, tokenAt(line, t));
    };
    size_t t = 1;
    switch (line.kind) {
    case StatementKind::If:
    case StatementKind::ElseIf:
    case StatementKind::While:
    case StatementKind::Until:
        if (line.kind == StatementKind::Until && tokens.size() == 1)
            throw std::runtime_error("Missing until condition");
        skip(t);
        return expectEnd(t, conditionMessage(line.kind));
    case StatementKind::For:
        if (tokens.size() >= 4 && line.tokenInfo[1].isIdentifier && tokens[2] == "=") {
            t = 3;
            skip(t);
            expect(t, ",", "Expected ',' after for start value");
            skip(++t);
            if (tokenAt(line, t) == ",") skip(++t);
            return expectEnd(t, "Unexpected token after for clause");
        }
        parseGenericForNames(line, t);
        skip(t);
        return expectEnd(t, "Unexpected token after for iterator");
    case StatementKind::FunctionDecl:
    case StatementKind::DecayFunctionDecl:
    case StatementKind::NativeFunctionDecl:
    case StatementKind::LocalFunctionDecl: {
        t = line.kind == StatementKind::FunctionDecl ? 1 : 2;
        if (t >= tokens.size() || !line.tokenInfo[t].isIdentifier)
            throwError("Expected function target", tokenAt(line, t));
        while (tokenAt(line, ++t) == "[") {
            skip(++t);
            expect(t, "]", "Expected closing bracket in function target");
        }
        expect(t, "(", "Expected '(' after function target");
        ScriptCallable unused;
        return parseParameters(line, ++t, unused);
    }
    case StatementKind::Return:
        if (tokens.size() == 1) return;
        for (skip(t); tokenAt(line, t) == ","; skip(++t)) {
        }
        return expectEnd(t, "Unexpected token after return value");
    case StatementKind::Simple:
        if (line.assignOpIndex != 0) {
            for (const ParsedAssignmentTarget& target : line.assignmentTargets)
                for (const TokenRange& range : target.indexRanges) {
                    t = range.first;
                    skip(t);
                    if (t != range.end) throwError("Unexpected token in assignment target", tokenAt(line, t));
                }
            for (const TokenRange& range : line.valueRanges) {
                t = range.first;
                skip(t);
                if (t != range.end) throwError("Unexpected trailing token", tokenAt(line, t));
            }
            return;
        }
        if (isBareDeclaration(line)) return;
        t = 0;
        skip(t);
        return expectEnd(t, "Unexpected trailing token");
    default:
        return;
    }
}

std::vector<std::string> ScriptEngine::checkSyntax(const std::string& source, const std::string& scriptPath) {
    const std::string directory = pathDirectory(scriptPath);
    ProgramStackGuard guard(scriptPathStack, directoryStack, scriptPath, directory);
    auto reportOf = [&](const std::exception& error) {
        return isErrorReport(error.what()) ? std::string(error.what())
                                           : formatErrorReport(error.what(), errorContext.token);
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
