// Script path helpers: a relative path is looked up beside the running
// program and under the game's Resources folder.
#include "ScriptEngine.h"

#include <algorithm>

#include <sys/stat.h>

bool ScriptEngine::pathExists(const std::string& path) {
    struct stat info;
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

std::string ScriptEngine::pathDirectory(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string ScriptEngine::joinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    return a.back() == '/' ? a + b : a + "/" + b;
}

// The root of the game's resources: the base directory up to and including
// its first "/Resources" path component, or "" when there is none.
static std::string resourcesRoot(const std::string& base) {
    const std::string marker = "/Resources";
    for (size_t at = base.find(marker); at != std::string::npos; at = base.find(marker, at + 1)) {
        size_t end = at + marker.size();
        if (end == base.size() || base[end] == '/') return base.substr(0, end);
    }
    return {};
}

// Inside the confined folder a path names one file there: slashes become
// underscores, so no path can climb out or reach another folder.
static std::string confinedPath(const std::string& folder, const std::string& path) {
    std::string name = path;
    std::replace(name.begin(), name.end(), '/', '_');
    if (name.empty() || name == "." || name == "..") name.assign(1, '_');
    std::string confined = folder;
    confined += '/';
    confined += name;
    return confined;
}

void ScriptEngine::confineToFolder(std::string folder) {
    confinedFolder = std::move(folder);
}

std::string ScriptEngine::resolvePath(const std::string& path) const {
    if (!confinedFolder.empty()) return confinedPath(confinedFolder, path);
    if (path.empty() || path[0] == '/' || pathExists(path)) return path;
    const std::string* directory = currentDirectory();
    std::string base = directory ? *directory : std::string();
    if (base.empty() && currentScriptPath()) base = pathDirectory(*currentScriptPath());
    if (base.empty()) return path;

    std::string candidate = joinPath(base, path);
    if (pathExists(candidate)) return candidate;
    std::string root = resourcesRoot(base);
    if (root.empty()) return path;
    candidate = joinPath(root, path);
    if (pathExists(candidate)) return candidate;
    const std::string scriptsPrefix = "ast/scripts/";
    if (path.starts_with(scriptsPrefix)) {
        candidate = joinPath(joinPath(root, "scripts"), path.substr(scriptsPrefix.size()));
        if (pathExists(candidate)) return candidate;
    }
    return path;
}
