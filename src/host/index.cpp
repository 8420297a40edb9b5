// The program entry: find the boot script and run it.
#include "index.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

std::string executableDirectory(const char* argv0) {
    std::string path = argv0 ? argv0 : "";
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

bool canOpen(const std::string& path) {
    return std::ifstream(path).is_open();
}

// An argument names a boot script file, or a game folder holding lua.bs.
std::string bootScriptPath(int argc, char** argv) {
    if (argc > 1) {
        struct stat info;
        bool isFolder = ::stat(argv[1], &info) == 0 && S_ISDIR(info.st_mode);
        return isFolder ? ScriptEngine::joinPath(argv[1], "lua.bs") : argv[1];
    }
    std::string bundled = executableDirectory(argc > 0 ? argv[0] : nullptr) + "../Resources/lua.bs";
    return canOpen(bundled) ? bundled : "lua.bs";
}

std::string bootSource(const std::string& path) {
    std::string quoted;
    for (char c : path) {
        if (c == '\\' || c == '\'') quoted += '\\';
        quoted += c;
    }
    return "runFile('" + quoted + "')";
}

// Deep script recursion needs more than the default stack; the interpreter
// measures what it may use from this limit.
void growStackLimit() {
    struct rlimit limit;
    const rlim_t wanted = rlim_t{64} << 20;
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_STACK, &limit);
}

// A frame loop frees what it made in the frame before and makes it again:
// left to itself the allocator hands the top of the heap back to the system
// and faults the same pages in again each frame (a tenth of a tile-map
// game's time), and serves big buffers (frames, images) with a fresh mapping
// each time. Memory stays at the loop's peak instead.
void keepHeapAcrossFrames() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_TOP_PAD, 1 << 20);
}

// Writes the report of every syntax error in the script at `path` on
// standard error; true when there is none.
bool syntaxIsClean(const char* path) {
    const Variable source = engine.readScriptFile({Variable(std::string(path))});
    const std::vector<std::string> reports = engine.checkSyntax(source.asString(), path);
    for (const std::string& report : reports) std::fputs(report.c_str(), stderr);
    return reports.empty();
}

// `brumevale --check FILE` reports every syntax error of FILE without running it.
int checkFile(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s --check FILE.bs\n", argv[0]);
        return 2;
    }
    return syntaxIsClean(argv[2]) ? 0 : 1;
}

// `brumevale --compile IN.bs OUT.bsc` writes the compiled program of IN.bs,
// refusing a script with syntax errors; the executable runs such a file like
// a script (it knows it by its magic).
int compileToFile(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s --compile IN.bs OUT.bsc\n", argv[0]);
        return 2;
    }
    if (!syntaxIsClean(argv[2])) return 1;
    engine.saveBytecode(*engine.compileScriptFile(argv[2]), argv[3]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    growStackLimit();
    keepHeapAcrossFrames();
    // The test suite runs every script a second time this way.
    if (std::getenv("BRUMEVALE_GENERAL_PATHS")) ScriptEngine::useGeneralPathsOnly();
    try {
        setRuntimeDirectory(executableDirectory(argc > 0 ? argv[0] : nullptr));
        registerFunctions();
        if (argc > 1 && std::string(argv[1]) == "--compile") return compileToFile(argc, argv);
        if (argc > 1 && std::string(argv[1]) == "--check") return checkFile(argc, argv);
        engine.runScript(bootSource(bootScriptPath(argc, argv)));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "BrumeVale startup error: %s%s\n", error.what(),
                     engine.errorCallTrace().c_str());
        return 1;
    }
    return 0;
}
