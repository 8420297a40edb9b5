// The error report and the soft errors that unwind to a protected call.
#include "ScriptEngine.h"

static const char* const reportPrefix = "BrumeScript error:";

static constexpr size_t listedCallSites = 10;

// A statement's place: FILE:LINE, or "line N" when no script path is known.
std::string ScriptEngine::placeText(const ParsedScriptLine* line, const std::string* path) {
    const std::string lineNumber = std::to_string((line ? line->lineNumber : 0) + 1);
    return path && !path->empty() ? *path + ":" + lineNumber : "line " + lineNumber;
}

void ScriptEngine::noteErrorCallSite(std::string site) {
    if (errorCallSites.size() < listedCallSites) errorCallSites.push_back(std::move(site));
}

std::string ScriptEngine::errorCallTrace() const {
    std::string trace;
    for (const std::string& site : errorCallSites) trace += "  called from " + site + "\n";
    return trace;
}

std::string ScriptEngine::formatErrorReport(const std::string& message, std::string_view nearToken) const {
    const ParsedScriptLine* line = errorContext.line;
    const std::string_view text = line ? std::string_view(line->text) : std::string_view();
    errorCallSites.clear();

    std::string report = std::string(reportPrefix) + " " + message + "\n";
    report += "  at " + placeText(line, currentScriptPath());
    if (!nearToken.empty()) report += ", near token '" + std::string(nearToken) + "'";
    report += "\n  " + std::string(text) + "\n  ";

    size_t column = text.size();
    if (!nearToken.empty() && nearToken != "EOF") {
        size_t found = text.find(nearToken);
        if (found != std::string_view::npos) column = found;
    }
    report += std::string(column, ' ') + "^";
    if (nearToken.size() >= 2 && column + nearToken.size() <= text.size())
        report += std::string(nearToken.size() - 1, '~');
    report += "\n  hint: check spelling, operators, parentheses, and quote matching\n";
    return report;
}

void ScriptEngine::throwError(const std::string& message, std::string_view nearToken) const {
    throw std::runtime_error(formatErrorReport(message, nearToken));
}

bool ScriptEngine::isErrorReport(const char* message) {
    return std::string_view(message).starts_with(reportPrefix);
}

void ScriptEngine::rethrowAsReport(const std::exception& error) const {
    if (isErrorReport(error.what())) throw;
    throwError(error.what(), errorContext.token());
}

void ScriptEngine::raiseScriptErrorSoft(const std::string& message) {
    if (protectedCallDepths.empty()) throw RaisedScriptError(message);
    if (softErrorPending) return;
    softErrorPending = true;
    softErrorDepth = protectedCallDepths.back();
    softErrorMessage = message;
}

void ScriptEngine::clearSoftRaisedError() {
    softErrorPending = false;
    softErrorDepth = 0;
    softErrorMessage.clear();
}
