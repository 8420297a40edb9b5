// The X11 window backend behind the bv_* window, mouse and keyboard functions.
// Supports one software-composited window per call of bv_createWindow, each
// with its own display connection: frames are letterboxed into the window at
// any size, converted to the root visual's pixel format (32-bit images stored
// directly, other depths pixel by pixel) and uploaded with XPutImage. Mouse
// state comes from window events, the keyboard from XQueryKeymap of the active
// window's display. Limits: no shared-memory upload, no input methods, no
// window manager hints beyond the title and the close protocol. Depends on
// Xlib only, loaded (libX11.so.6) when the first window opens; without it or
// without a display bv_createWindow returns null.
#include "frame_compose.h"
#include "platform_layer.h"

#include "TesselImage.h"
#include "loaded_library.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

struct X11WindowState {
    Display* display = nullptr;
    int screen = 0;
    Window window = 0;
    GC gc = nullptr;
    Atom deleteWindowAtom = 0;
    bool shouldClose = false;
    int width = 1, height = 1;
    std::string title;
    uint8_t clearRed = 0, clearGreen = 0, clearBlue = 0;
    int mouseX = 0, mouseY = 0;
    bool mouseLeft = false, mouseRight = false, mouseMiddle = false;
    std::vector<uint8_t> frame;
    int frameWidth = 0, frameHeight = 0;
    XImage* ximage = nullptr;
    std::vector<uint8_t> backbuffer;
    bool dirty = true;
    uint64_t redMask = 0, greenMask = 0, blueMask = 0;
    int redShift = 0, greenShift = 0, blueShift = 0;
    int redBits = 0, greenBits = 0, blueBits = 0;
    // Kept between frames so that composing at a stable size allocates nothing.
    std::optional<PixelPacker> packer;
    std::vector<int> columns;
};

X11WindowState* gActiveWindow = nullptr;
bool gKeyState[BV_KEY_COUNT] = {};

X11WindowState* stateOf(BvWindow window) {
    return static_cast<X11WindowState*>(window);
}

// Requests on a window destroyed from outside fail asynchronously; the default
// handler would end the process, so such errors are dropped.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

#define BV_XLIB_CALLS(X)                                                                                     \
    X(XInitThreads)                                                                                          \
    X(XSetErrorHandler)                                                                                      \
    X(XOpenDisplay)                                                                                          \
    X(XCloseDisplay)                                                                                         \
    X(XCreateSimpleWindow)                                                                                   \
    X(XDestroyWindow)                                                                                        \
    X(XCreateGC)                                                                                             \
    X(XFreeGC)                                                                                               \
    X(XCreateImage)                                                                                          \
    X(XPutImage)                                                                                             \
    X(XFlush)                                                                                                \
    X(XInternAtom)                                                                                           \
    X(XSetWMProtocols)                                                                                       \
    X(XStoreName)                                                                                            \
    X(XSelectInput)                                                                                          \
    X(XMapWindow)                                                                                            \
    X(XResizeWindow)                                                                                         \
    X(XPending)                                                                                              \
    X(XNextEvent)                                                                                            \
    X(XQueryKeymap)                                                                                          \
    X(XKeysymToKeycode)

// The Xlib calls the backend makes, bound when the first window opens.
BV_LOADED_CALLS(XlibCalls, "libX11.so.6", BV_XLIB_CALLS);

// Incomplete when libX11 or one of its calls is missing: no window opens then.
const XlibCalls& xlib() {
    return brume::boundCalls<XlibCalls>([](const XlibCalls& calls) {
        calls.XInitThreads(); // before any other call, as Xlib requires
        calls.XSetErrorHandler(ignoreXError);
    });
}

int atLeastOne(int value) {
    return value < 2 ? 1 : value;
}

void destroyImage(X11WindowState& state) {
    if (state.ximage) XDestroyImage(state.ximage); // frees the pixel buffer too
    state.ximage = nullptr;
}

bool resizeBackbuffer(X11WindowState& state) {
    if (!state.display || state.width <= 0 || state.height <= 0) return false;
    destroyImage(state);
    const size_t bytes = size_t(state.width) * size_t(state.height) * 4;
    // XDestroyImage releases the buffer with free(), so it comes from calloc.
    auto* data = static_cast<char*>(std::calloc(bytes, 1));
    try {
        state.backbuffer.assign(data ? bytes : 0, 0);
    } catch (const std::bad_alloc&) {
        state.backbuffer.clear();
        std::free(data);
        return false;
    }
    if (!data) return false;
    Visual* visual = DefaultVisual(state.display, state.screen);
    const int depth = DefaultDepth(state.display, state.screen);
    state.ximage = xlib().XCreateImage(state.display, visual, unsigned(depth), ZPixmap, 0, data,
                                       unsigned(state.width), unsigned(state.height), 32, 0);
    if (!state.ximage) {
        std::free(data);
        return false;
    }
    return true;
}

void takeVisualFormat(X11WindowState& state) {
    const Visual* visual = DefaultVisual(state.display, state.screen);
    const ChannelFormat red = channelFormat(visual->red_mask), green = channelFormat(visual->green_mask),
                        blue = channelFormat(visual->blue_mask);
    state.redMask = red.mask, state.greenMask = green.mask, state.blueMask = blue.mask;
    state.redShift = red.shift, state.greenShift = green.shift, state.blueShift = blue.shift;
    state.redBits = red.bits, state.greenBits = green.bits, state.blueBits = blue.bits;
    state.packer.emplace(red, green, blue);
}

void putImagePixel(void* image, int x, int y, uint64_t pixel) {
    XPutPixel(static_cast<XImage*>(image), x, y, static_cast<unsigned long>(pixel));
}

void renderIntoBackbuffer(X11WindowState& state) {
    if (state.backbuffer.size() != size_t(state.width) * size_t(state.height) * 4) return;
    FrameSource source;
    if (!state.frame.empty() && state.frameWidth > 0 && state.frameHeight > 0)
        source = {state.frame.data(), state.frameWidth, state.frameHeight};
    DeviceTarget device;
    if (state.ximage) {
        device.data = reinterpret_cast<uint8_t*>(state.ximage->data);
        device.bytesPerLine = state.ximage->bytes_per_line;
        device.bitsPerPixel = state.ximage->bits_per_pixel;
        if (device.bitsPerPixel != 32) device.putPixel = putImagePixel, device.context = state.ximage;
    }
    const uint8_t clear[3] = {state.clearRed, state.clearGreen, state.clearBlue};
    composeFrame(source, clear, state.width, state.height, state.backbuffer.data(), *state.packer, device,
                 state.columns);
}

void setMousePosition(X11WindowState& state, int x, int y) {
    state.mouseX = std::clamp(x, 0, state.width - 1);
    state.mouseY = std::clamp(y, 0, state.height - 1);
}

void setMouseButton(X11WindowState& state, unsigned button, bool down) {
    if (button == Button1) state.mouseLeft = down;
    if (button == Button3) state.mouseRight = down;
    if (button == Button2) state.mouseMiddle = down;
}

void handleEvent(X11WindowState& state, const XEvent& event) {
    switch (event.type) {
    case ButtonPress:
    case ButtonRelease:
        setMousePosition(state, event.xbutton.x, event.xbutton.y);
        setMouseButton(state, event.xbutton.button, event.type == ButtonPress);
        break;
    case MotionNotify:
        setMousePosition(state, event.xmotion.x, event.xmotion.y);
        break;
    case Expose:
        state.dirty = true;
        break;
    case DestroyNotify:
        state.shouldClose = true;
        state.window = 0;
        break;
    case ConfigureNotify:
        if (event.xconfigure.width != state.width || event.xconfigure.height != state.height) {
            state.width = atLeastOne(event.xconfigure.width);
            state.height = atLeastOne(event.xconfigure.height);
            resizeBackbuffer(state);
            state.dirty = true;
        }
        break;
    case ClientMessage:
        if (Atom(event.xclient.data.l[0]) == state.deleteWindowAtom) state.shouldClose = true;
        break;
    default:
        break;
    }
}

void freeWindowResources(X11WindowState& state) {
    destroyImage(state);
    if (state.display) {
        if (state.gc) xlib().XFreeGC(state.display, state.gc);
        if (state.window) xlib().XDestroyWindow(state.display, state.window);
        xlib().XCloseDisplay(state.display);
    }
}

// The keysym each key flag reads, in BvKey order.
unsigned long keysymOf(int key) {
    static const unsigned long named[] = {0xFF0D, 0xFF52, 0xFF54, 0xFF51, 0xFF53};
    if (key < BV_KEY_A) return named[key];
    if (key <= BV_KEY_Z) return 0x61 + (key - BV_KEY_A);
    if (key <= BV_KEY_9) return 0x31 + (key - BV_KEY_1);
    static const unsigned long rest[] = {0x30, 0x2D, 0xFF08, 0xFFFF, 0x20};
    return rest[key - BV_KEY_0];
}

} // namespace

BvWindow bv_createWindow(const char* title, int width, int height) {
    if (!xlib().complete) return nullptr;
    Display* display = xlib().XOpenDisplay(nullptr);
    if (!display) return nullptr;
    auto state = std::make_unique<X11WindowState>();
    state->display = display;
    state->screen = DefaultScreen(display);
    state->width = atLeastOne(width);
    state->height = atLeastOne(height);
    state->title = title ? title : "BrumeVale";
    const unsigned long black = BlackPixel(display, state->screen);
    state->window =
        xlib().XCreateSimpleWindow(display, RootWindow(display, state->screen), 0, 0, unsigned(state->width),
                                   unsigned(state->height), 0, black, black);
    if (!state->window) {
        xlib().XCloseDisplay(display);
        return nullptr;
    }
    xlib().XSelectInput(display, state->window, 0x2804F);
    state->deleteWindowAtom = xlib().XInternAtom(display, "WM_DELETE_WINDOW", False);
    xlib().XSetWMProtocols(display, state->window, &state->deleteWindowAtom, 1);
    xlib().XStoreName(display, state->window, state->title.c_str());
    state->gc = xlib().XCreateGC(display, state->window, 0, nullptr);
    xlib().XMapWindow(display, state->window);
    xlib().XFlush(display);
    takeVisualFormat(*state);
    if (!resizeBackbuffer(*state)) {
        freeWindowResources(*state);
        return nullptr;
    }
    gActiveWindow = state.get();
    return state.release();
}

void bv_closeWindow(BvWindow window) {
    X11WindowState* state = stateOf(window);
    if (!state) return;
    state->shouldClose = true;
    if (state->display && state->window) {
        xlib().XDestroyWindow(state->display, state->window);
        xlib().XFlush(state->display);
        state->window = 0;
    }
}

void bv_destroyWindow(BvWindow window) {
    X11WindowState* state = stateOf(window);
    if (!state) return;
    if (gActiveWindow == state) gActiveWindow = nullptr;
    freeWindowResources(*state);
    delete state;
}

char* bv_getWindowTitle(BvWindow window) {
    X11WindowState* state = stateOf(window);
    return strdup(state ? state->title.c_str() : "");
}

void bv_getWindowSize(BvWindow window, int* width, int* height) {
    X11WindowState* state = stateOf(window);
    if (width) *width = state ? state->width : 0;
    if (height) *height = state ? state->height : 0;
}

void bv_setWindowSize(BvWindow window, int width, int height) {
    X11WindowState* state = stateOf(window);
    if (!state) return;
    state->width = atLeastOne(width);
    state->height = atLeastOne(height);
    if (state->display && state->window)
        xlib().XResizeWindow(state->display, state->window, unsigned(state->width), unsigned(state->height));
    resizeBackbuffer(*state);
    state->dirty = true;
}

void bv_setWindowTitle(BvWindow window, const char* title) {
    X11WindowState* state = stateOf(window);
    if (!state) return;
    state->title = title ? title : "BrumeVale";
    if (state->display && state->window) {
        xlib().XStoreName(state->display, state->window, state->title.c_str());
        xlib().XFlush(state->display);
    }
}

void bv_pushImage(BvWindow window, const TesselImage* image) {
    X11WindowState* state = stateOf(window);
    if (!state || !hasPixels(image)) return;
    const uint8_t* pixels = image->pixels.get();
    state->frame.assign(pixels, pixels + size_t(image->width) * size_t(image->height) * 4);
    state->frameWidth = image->width;
    state->frameHeight = image->height;
    state->dirty = true;
}

void bv_updateWindow(BvWindow window) {
    X11WindowState* state = stateOf(window);
    if (!state || !state->display || !state->window) return;
    XEvent event;
    while (state->window && xlib().XPending(state->display)) {
        xlib().XNextEvent(state->display, &event);
        handleEvent(*state, event);
    }
    if (state->dirty && state->window && state->ximage && state->width > 0 && state->height > 0) {
        renderIntoBackbuffer(*state);
        xlib().XPutImage(state->display, state->window, state->gc, state->ximage, 0, 0, 0, 0,
                         unsigned(state->width), unsigned(state->height));
        xlib().XFlush(state->display);
        state->dirty = false;
    }
    gActiveWindow = state;
}

bool bv_windowShouldClose(BvWindow window) {
    X11WindowState* state = stateOf(window);
    return !state || state->shouldClose;
}

void bv_clearWindow(BvWindow window, uint8_t red, uint8_t green, uint8_t blue) {
    X11WindowState* state = stateOf(window);
    if (!state) return;
    state->clearRed = red, state->clearGreen = green, state->clearBlue = blue;
    state->dirty = true;
}

TesselImage* bv_captureWindow(BvWindow window) {
    X11WindowState* state = stateOf(window);
    if (!state || state->backbuffer.empty()) return nullptr;
    if (state->dirty) renderIntoBackbuffer(*state);
    auto image = std::make_unique<TesselImage>();
    image->width = state->width;
    image->height = state->height;
    image->pixels = std::make_unique<uint8_t[]>(state->backbuffer.size());
    std::memcpy(image->pixels.get(), state->backbuffer.data(), state->backbuffer.size());
    return image.release();
}

void bv_getMousePosition(BvWindow window, int* x, int* y) {
    X11WindowState* state = stateOf(window);
    if (x) *x = state ? state->mouseX : -1;
    if (y) *y = state ? state->mouseY : -1;
}

bool bv_getMouseButtonState(BvWindow window, int button) {
    X11WindowState* state = stateOf(window);
    if (!state) return false;
    if (button == 0) return state->mouseLeft;
    if (button == 1) return state->mouseRight;
    if (button == 2) return state->mouseMiddle;
    return false;
}

void bv_updateKeyboardState() {
    std::fill(std::begin(gKeyState), std::end(gKeyState), false);
    if (!gActiveWindow || !gActiveWindow->display) return;
    char keys[32];
    xlib().XQueryKeymap(gActiveWindow->display, keys);
    for (int key = 0; key < BV_KEY_COUNT; ++key) {
        const KeyCode code = xlib().XKeysymToKeycode(gActiveWindow->display, keysymOf(key));
        gKeyState[key] = code != 0 && (keys[code / 8] >> (code % 8)) & 1;
    }
}

bool bv_key_state(int key) {
    return key >= 0 && key < BV_KEY_COUNT && gKeyState[key];
}
