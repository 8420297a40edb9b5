// The window through the real executable under a private Xvfb: the picture on
// the screen, synthesised input as the input globals see it, windows killed,
// renamed, closed and destroyed from outside, and the README's first game.
// GoogleTest comes before Xlib, whose macros would rename parts of it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr unsigned long red = 0xFF0000, green = 0x00FF00, blue = 0x0000FF;

// Polls `condition` every 10 ms, `tries` times at most (ten seconds by
// default); whether it came true.
template <class Condition> bool eventually(Condition condition, int tries = 1000) {
    for (int i = 0; i < tries; ++i, usleep(10000))
        if (condition()) return true;
    return condition();
}

// A child that ends with the test process, even when that one crashes.
pid_t forkChild() {
    const pid_t pid = fork();
    if (pid == 0) prctl(PR_SET_PDEATHSIG, SIGTERM);
    return pid;
}

// The executable running one script in a fresh folder, with DISPLAY set for
// it alone. Script and test signal each other with empty files in that folder.
class ScriptProcess {
  public:
    ScriptProcess(const std::string& script, const std::string& display) {
        char pattern[] = "/tmp/bv-window-test-XXXXXX";
        folder_ = mkdtemp(pattern);
        // The signal helpers every window script uses come first; a relative script
        // name is one of the window scripts.
        std::ofstream(folder_ / "main.bs") << "runFile('" BV_WINDOW_SCRIPTS "/signals.bs')\nrunFile('"
                                           << (fs::path(BV_WINDOW_SCRIPTS) / script).string() << "')\n";
        pid_ = forkChild();
        if (pid_ == 0) {
            if (chdir(folder_.c_str()) != 0) _exit(126);
            dup2(open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            setenv("DISPLAY", display.c_str(), 1);
            execl(BV_EXE, BV_EXE, "main.bs", nullptr);
            _exit(127);
        }
    }
    ~ScriptProcess() {
        finish();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    void signal(const std::string& name) const { std::ofstream(folder_ / name); }
    // A script that has ended can signal no more.
    bool waitForSignal(const std::string& name) {
        return eventually([&] { return fs::exists(folder_ / name) || reaped(); }) &&
               fs::exists(folder_ / name);
    }
    // Waits for the exit (killing it after a bound) and returns the status.
    int finish() {
        if (!eventually([&] { return reaped(); }, 3000)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        return status_;
    }
    std::string output() const { return read("stdout.txt"); }
    std::string errors() const { return read("stderr.txt"); }

  private:
    // True once the process has ended (its status is kept).
    bool reaped() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_)
            pid_ = -1, status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return pid_ <= 0;
    }
    std::string read(const char* name) const {
        std::ifstream in(folder_ / name);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    fs::path folder_;
    pid_t pid_ = -1;
    int status_ = -1;
};

struct Probe {
    int x, y;
    unsigned long colour;
};

// One Xvfb for the suite on a free display, stopped by its process id, and the
// test's own connection for screenshots, synthesised input and outside changes
// to the windows.
class X11Window : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Errors of the test's own requests (a window already gone) are not fatal.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        // The server picks the first free display number itself and writes it to
        // the pipe, so tests started side by side never share one.
        int numberPipe[2];
        if (pipe(numberPipe) != 0) return;
        server = forkChild();
        if (server == 0) {
            close(numberPipe[0]);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1), dup2(null, 2);
            const std::string fd = std::to_string(numberPipe[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
                   nullptr);
            _exit(127);
        }
        close(numberPipe[1]);
        std::string number;
        char c;
        while (read(numberPipe[0], &c, 1) == 1 && c != '\n') number += c;
        close(numberPipe[0]);
        if (number.empty()) return;
        name = ":" + number;
        display = XOpenDisplay(name.c_str());
    }
    static void TearDownTestSuite() {
        if (display) XCloseDisplay(display);
        if (server > 0) kill(server, SIGTERM), waitpid(server, nullptr, 0);
    }
    void SetUp() override {
        if (!display) GTEST_FAIL() << "Xvfb did not start";
    }

    // The top-level window with this title, 0 when none.
    static Window findWindow(const std::string& title) {
        Window root, parent, *children = nullptr, found = 0;
        unsigned count = 0;
        if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return 0;
        for (unsigned i = 0; i < count && !found; ++i) {
            char* windowName = nullptr;
            if (XFetchName(display, children[i], &windowName) && windowName && title == windowName)
                found = children[i];
            if (windowName) XFree(windowName);
        }
        if (children) XFree(children);
        return found;
    }
    static Window awaitWindow(const std::string& title) {
        Window window = 0;
        eventually([&] { return (window = findWindow(title)) != 0; });
        return window;
    }
    static bool windowGone(const std::string& title) {
        return eventually([&] { return !findWindow(title); });
    }
    // The screen's colour at (x, y) as 0xRRGGBB.
    static unsigned long pixelAt(int x, int y) {
        XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
        if (!image) return ~0ul;
        const unsigned long pixel = XGetPixel(image, 0, 0) & 0xFFFFFF; // the 24-bit screen is 0xRRGGBB
        XDestroyImage(image);
        return pixel;
    }
    // The screen settles into the expected picture (a frame may still be on
    // its way, above all after a resize); what then still differs is reported.
    static bool expectScreen(const std::vector<Probe>& probes) {
        const bool settled = eventually([&] {
            return std::all_of(probes.begin(), probes.end(),
                               [&](const Probe& p) { return pixelAt(p.x, p.y) == p.colour; });
        });
        for (const Probe& p : probes) EXPECT_EQ(pixelAt(p.x, p.y), p.colour) << "at " << p.x << ", " << p.y;
        return settled;
    }
    // The script ended by itself, with this output and nothing on standard error.
    static void expectEnded(ScriptProcess& script, const std::string& output = "") {
        EXPECT_EQ(script.finish(), 0) << script.errors();
        EXPECT_EQ(script.output(), output);
        EXPECT_EQ(script.errors(), "");
    }
    static void key(KeySym sym, bool down) {
        XTestFakeKeyEvent(display, XKeysymToKeycode(display, sym), down, 0);
    }
    static void button(unsigned number, bool down) { XTestFakeButtonEvent(display, number, down, 0); }
    static void moveTo(int x, int y) { XTestFakeMotionEvent(display, 0, x, y, 0); }

    static inline pid_t server = -1;
    static inline std::string name;
    static inline Display* display = nullptr;
};

} // namespace

// The 300 x 100 strip (green, red square in the middle third, green) fills the
// window's width and is centred between blue bars; after an outside resize to a
// tall window it is letterboxed again.
TEST_F(X11Window, FrameIsLetterboxedAndFollowsResizes) {
    // A `w` x `h` window with the strip on rows [top, bottom) and red on columns [redFrom, redTo).
    const auto expectStrip = [](int w, int h, int top, int bottom, int redFrom, int redTo) {
        const int x = w / 2, y = 200;
        // clang-format off
        expectScreen({{5, 5, blue}, {w - 1, h - 1, blue}, {x, top - 1, blue}, {x, top, red}, {x, bottom - 1, red},
                      {x, bottom, blue}, {redFrom / 2, y, green}, {redFrom - 1, y, green}, {redFrom, y, red},
                      {redTo - 1, y, red}, {redTo, y, green}});
        // clang-format on
    };
    ScriptProcess script("letterbox.bs", name);
    ASSERT_TRUE(script.waitForSignal("shown")) << script.errors();
    expectStrip(640, 480, 133, 346, 214, 427); // drawn 640 x 213
    XResizeWindow(display, awaitWindow("bv-letterbox"), 200, 400);
    XSync(display, False);
    expectStrip(200, 400, 166, 233, 67, 134); // drawn 200 x 67
    script.signal("done");
    expectEnded(script);
    EXPECT_TRUE(windowGone("bv-letterbox"));
}

// Keys held, a press inside the window, then motion and a middle press outside
// it while the press holds the pointer: positions are clamped into the window.
TEST_F(X11Window, SynthesisedInputReachesTheInputGlobals) {
    ScriptProcess script("input.bs", name);
    ASSERT_TRUE(script.waitForSignal("shown")) << script.errors();
    ASSERT_NE(awaitWindow("bv-input"), 0u);
    for (KeySym sym : {XK_a, XK_Left, XK_5, XK_space}) key(sym, true);
    moveTo(100, 50);
    button(1, true);
    moveTo(500, 60);
    button(2, true);
    XSync(display, False);
    script.signal("pressed");
    ASSERT_TRUE(script.waitForSignal("read")) << script.errors();
    for (KeySym sym : {XK_a, XK_Left, XK_5, XK_space}) key(sym, false);
    button(2, false);
    moveTo(200, 100);
    button(1, false);
    XSync(display, False);
    script.signal("released");
    expectEnded(script, "true false true true true false\n"
                        "319 60 true false true\n"
                        "false false false false false false\n"
                        "200 100 false false false\n"
                        "false false false false false false\n"
                        "-1 -1 false false false\n");
}

TEST_F(X11Window, WindowsEndCleanlyHoweverTheyEnd) {
    ScriptProcess script("lifecycle.bs", name);
    ASSERT_TRUE(script.waitForSignal("killed")) << script.errors();
    EXPECT_TRUE(windowGone("bv-life"));
    script.signal("checked");

    ASSERT_TRUE(script.waitForSignal("renamed")) << script.errors();
    const Window window = awaitWindow("bv-renamed");
    ASSERT_NE(window, 0u);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    XEvent close{.xclient = {ClientMessage, 0, False, display, window, protocols, 32, {}}};
    close.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, window, False, NoEventMask, &close);
    XSync(display, False);

    ASSERT_TRUE(script.waitForSignal("seen")) << script.errors();
    EXPECT_NE(findWindow("bv-renamed"), 0u); // a close request only asks
    XDestroyWindow(display, window);
    XSync(display, False);
    script.signal("destroyed");

    expectEnded(script, "close asked true\n"
                        "after destruction true bv-renamed\n"
                        "killed false not bv-renamed\n");
    EXPECT_TRUE(windowGone("bv-last"));
}

// The README's first-game example, run as a reader would: its window shows the
// sky and the square, the right arrow moves the square, and Q ends the script.
TEST_F(X11Window, ReadmeExampleDrawsMovesAndQuits) {
    constexpr unsigned long sky = 0x1E2850, square = 0xFFC828;
    ScriptProcess script(BV_README_EXAMPLE, name);
    // The square starts at x = 304..335, y = 200..231.
    ASSERT_TRUE(expectScreen({{310, 210, square}, {600, 300, sky}})) << script.errors();
    key(XK_Right, true);
    XFlush(display);
    EXPECT_TRUE(expectScreen({{345, 210, square}})) << "the square did not move right";
    key(XK_Right, false);
    key(XK_q, true);
    XFlush(display);
    expectEnded(script);
}
