// The window through the real executable under a private Xvfb: the picture on
// the screen, synthesised input as the input globals see it, windows killed,
// renamed, closed and destroyed from outside, and the README's first game.
// GoogleTest comes before Xlib, whose macros would rename parts of it.
#include <gtest/gtest.h>

#include "xvfb_session.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr unsigned long red = 0xFF0000, green = 0x00FF00, blue = 0x0000FF;

struct Probe {
    int x, y;
    unsigned long colour;
};

class X11Window : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server = std::make_unique<XvfbServer>(800, 600); }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
        if (!server->running()) GTEST_FAIL() << "Xvfb did not start";
    }

    Window awaitWindow(const std::string& title) {
        Window window = 0;
        eventually([&] { return (window = server->findWindow(title)) != 0; });
        return window;
    }
    bool windowGone(const std::string& title) {
        return eventually([&] { return !server->findWindow(title); });
    }
    // The screen settles into the expected picture (a frame may still be on
    // its way, above all after a resize); what then still differs is reported.
    void expectScreen(const std::vector<Probe>& probes) {
        eventually([&] {
            return std::all_of(probes.begin(), probes.end(),
                               [&](const Probe& p) { return server->pixelAt(p.x, p.y) == p.colour; });
        });
        for (const Probe& p : probes)
            EXPECT_EQ(server->pixelAt(p.x, p.y), p.colour) << "at " << p.x << ", " << p.y;
    }
    void key(KeySym sym, bool down) {
        XTestFakeKeyEvent(server->display(), XKeysymToKeycode(server->display(), sym), down, 0);
    }
    void button(unsigned number, bool down) { XTestFakeButtonEvent(server->display(), number, down, 0); }
    void moveTo(int x, int y) { XTestFakeMotionEvent(server->display(), 0, x, y, 0); }

    static std::unique_ptr<XvfbServer> server;
};

std::unique_ptr<XvfbServer> X11Window::server;

} // namespace

// The 300 x 100 strip (green, red square in the middle third, green) fills the
// window's width and is centred between blue bars; after an outside resize to a
// tall window it is letterboxed again.
TEST_F(X11Window, FrameIsLetterboxedAndFollowsResizes) {
    ScriptProcess script("letterbox.bs", server->name());
    ASSERT_TRUE(script.waitForSignal("shown")) << script.errors();
    // Drawn 640 x 213 at y = 133; columns up to 213 sample green, up to 426 red.
    // clang-format off
    expectScreen({{5, 5, blue}, {320, 132, blue}, {320, 133, red}, {100, 200, green}, {213, 200, green},
                  {214, 200, red}, {426, 200, red}, {427, 200, green}, {320, 345, red}, {320, 346, blue},
                  {639, 479, blue}});
    // clang-format on

    XResizeWindow(server->display(), awaitWindow("bv-letterbox"), 200, 400);
    XSync(server->display(), False);
    // Drawn 200 x 67 at y = 166; columns up to 66 sample green, up to 133 red.
    // clang-format off
    expectScreen({{100, 165, blue}, {100, 166, red}, {10, 200, green}, {66, 200, green}, {67, 200, red},
                  {133, 200, red}, {134, 200, green}, {100, 232, red}, {100, 233, blue}, {199, 399, blue}});
    // clang-format on
    script.signal("done");
    EXPECT_EQ(script.finish(), 0);
    EXPECT_EQ(script.errors(), "");
    EXPECT_TRUE(windowGone("bv-letterbox"));
}

// Keys held, a press inside the window, then motion and a middle press outside
// it while the press holds the pointer: positions are clamped into the window.
TEST_F(X11Window, SynthesisedInputReachesTheInputGlobals) {
    ScriptProcess script("input.bs", server->name());
    ASSERT_TRUE(script.waitForSignal("shown")) << script.errors();
    ASSERT_NE(awaitWindow("bv-input"), 0u);
    for (KeySym sym : {XK_a, XK_Left, XK_5, XK_space}) key(sym, true);
    moveTo(100, 50);
    button(1, true);
    moveTo(500, 60);
    button(2, true);
    XSync(server->display(), False);
    script.signal("pressed");
    ASSERT_TRUE(script.waitForSignal("read")) << script.errors();
    for (KeySym sym : {XK_a, XK_Left, XK_5, XK_space}) key(sym, false);
    button(2, false);
    moveTo(200, 100);
    button(1, false);
    XSync(server->display(), False);
    script.signal("released");
    EXPECT_EQ(script.finish(), 0);
    EXPECT_EQ(script.output(), "true false true true true false\n"
                               "319 60 true false true\n"
                               "false false false false false false\n"
                               "200 100 false false false\n"
                               "false false false false false false\n"
                               "-1 -1 false false false\n");
    EXPECT_EQ(script.errors(), "");
}

TEST_F(X11Window, WindowsEndCleanlyHoweverTheyEnd) {
    ScriptProcess script("lifecycle.bs", server->name());
    ASSERT_TRUE(script.waitForSignal("killed")) << script.errors();
    EXPECT_TRUE(windowGone("bv-life"));
    script.signal("checked");

    ASSERT_TRUE(script.waitForSignal("renamed")) << script.errors();
    const Window window = awaitWindow("bv-renamed");
    ASSERT_NE(window, 0u);
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = window;
    close.xclient.message_type = XInternAtom(server->display(), "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = long(XInternAtom(server->display(), "WM_DELETE_WINDOW", False));
    XSendEvent(server->display(), window, False, NoEventMask, &close);
    XSync(server->display(), False);

    ASSERT_TRUE(script.waitForSignal("seen")) << script.errors();
    EXPECT_NE(server->findWindow("bv-renamed"), 0u); // a close request only asks
    XDestroyWindow(server->display(), window);
    XSync(server->display(), False);
    script.signal("destroyed");

    EXPECT_EQ(script.finish(), 0);
    EXPECT_EQ(script.output(), "close asked true\n"
                               "after destruction true bv-renamed\n"
                               "killed false not bv-renamed\n");
    EXPECT_EQ(script.errors(), "");
    EXPECT_TRUE(windowGone("bv-last"));
}

// The README's first-game example, run as a reader would: its window shows the
// sky and the square, the right arrow moves the square, and Q ends the script.
TEST_F(X11Window, ReadmeExampleDrawsMovesAndQuits) {
    constexpr unsigned long sky = 0x1E2850, square = 0xFFC828;
    ScriptProcess script(BV_README_EXAMPLE, server->name());
    // The square starts at x = 304..335, y = 200..231.
    ASSERT_TRUE(server->waitForPixel(310, 210, square)) << script.errors();
    EXPECT_EQ(server->pixelAt(600, 300), sky);
    key(XK_Right, true);
    XFlush(server->display());
    EXPECT_TRUE(server->waitForPixel(345, 210, square)) << "the square did not move right";
    key(XK_Right, false);
    key(XK_q, true);
    XFlush(server->display());
    EXPECT_EQ(script.finish(), 0) << script.errors();
    EXPECT_EQ(script.errors(), "");
}
