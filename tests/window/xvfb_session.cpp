#include "xvfb_session.h"

#include <X11/Xutil.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

int exitStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A child ends with the test process, even when that one crashes.
void endWithParent() {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
}

void silenceOutput() {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
}

// Errors of the test's own requests (a window already gone) are not fatal.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

XvfbServer::XvfbServer(int width, int height) {
    XSetErrorHandler(ignoreXError);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    // The server picks the first free display number itself and writes it to
    // the pipe, so tests started side by side never share one.
    int numberPipe[2];
    if (pipe(numberPipe) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        close(numberPipe[0]);
        endWithParent();
        silenceOutput();
        const std::string fd = std::to_string(numberPipe[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
               nullptr);
        _exit(127);
    }
    close(numberPipe[1]);
    std::string number;
    char c;
    while (read(numberPipe[0], &c, 1) == 1 && c != '\n') number += c;
    close(numberPipe[0]);
    if (number.empty()) return;
    name_ = ":" + number;
    display_ = XOpenDisplay(name_.c_str());
}

XvfbServer::~XvfbServer() {
    if (display_) XCloseDisplay(display_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

Window XvfbServer::findWindow(const std::string& title) const {
    Window root, parent, *children = nullptr, found = 0;
    unsigned count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        char* name = nullptr;
        if (XFetchName(display_, children[i], &name) && name && title == name) found = children[i];
        if (name) XFree(name);
    }
    if (children) XFree(children);
    return found;
}

unsigned long XvfbServer::pixelAt(int x, int y) const {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return ~0ul;
    const unsigned long pixel = XGetPixel(image, 0, 0) & 0xFFFFFF; // the 24-bit screen is 0xRRGGBB
    XDestroyImage(image);
    return pixel;
}

ScriptProcess::ScriptProcess(const std::string& script, const std::string& display) {
    char pattern[] = "/tmp/bv-window-test-XXXXXX";
    folder_ = mkdtemp(pattern);
    // The signal helpers every window script uses come first; a relative script
    // name is one of the window scripts.
    fs::path path = fs::path(BV_WINDOW_SCRIPTS) / script;
    std::ofstream(fs::path(folder_) / "main.bs")
        << "runFile('" BV_WINDOW_SCRIPTS "/signals.bs')\nrunFile('" << path.string() << "')\n";
    pid_ = fork();
    if (pid_ == 0) {
        endWithParent();
        if (chdir(folder_.c_str()) != 0) _exit(126);
        int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        setenv("DISPLAY", display.c_str(), 1);
        execl(BV_EXE, BV_EXE, "main.bs", nullptr);
        _exit(127);
    }
}

ScriptProcess::~ScriptProcess() {
    finish();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

void ScriptProcess::signal(const std::string& name) const {
    std::ofstream(fs::path(folder_) / name);
}

// A script that has ended can signal no more.
bool ScriptProcess::waitForSignal(const std::string& name) {
    const fs::path file = fs::path(folder_) / name;
    return eventually([&] { return fs::exists(file) || reaped(); }) && fs::exists(file);
}

bool ScriptProcess::reaped() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1, status_ = exitStatus(status);
    return pid_ <= 0;
}

int ScriptProcess::finish() {
    if (!eventually([&] { return reaped(); }, 3000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return status_;
}

std::string ScriptProcess::output() const {
    return readFile(fs::path(folder_) / "stdout.txt");
}

std::string ScriptProcess::errors() const {
    return readFile(fs::path(folder_) / "stderr.txt");
}
