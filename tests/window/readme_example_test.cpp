// The README's first-game example, run as a reader would: its window shows the
// sky and the square, the right arrow moves the square, and Q ends the script.
#include <gtest/gtest.h>

#include "xvfb_session.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

constexpr unsigned long sky = 0x1E2850, square = 0xFFC828;

void tapKey(Display* display, KeySym sym, bool down) {
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, sym), down, 0);
    XFlush(display);
}

} // namespace

TEST(ReadmeExample, FirstGameDrawsMovesAndQuits) {
    XvfbServer server(800, 600);
    ASSERT_TRUE(server.running());
    ScriptProcess script(BV_README_EXAMPLE, server.name());
    // The square starts at x = 304..335, y = 200..231.
    ASSERT_TRUE(server.waitForPixel(310, 210, square)) << script.errors();
    EXPECT_EQ(server.pixelAt(600, 300), sky);
    tapKey(server.display(), XK_Right, true);
    EXPECT_TRUE(server.waitForPixel(345, 210, square)) << "the square did not move right";
    tapKey(server.display(), XK_Right, false);
    tapKey(server.display(), XK_q, true);
    EXPECT_EQ(script.finish(), 0) << script.errors();
    EXPECT_EQ(script.errors(), "");
}
