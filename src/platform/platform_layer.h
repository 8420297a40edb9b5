// The flat platform layer: everything above it reaches the window, keyboard,
// mouse, PNG files and sleeping through these plain functions. A window
// handle is opaque; every function accepts a null handle.
#pragma once

#include <cstdint>

struct TesselImage;
using BvWindow = void*;

bool bv_has_metal_window();
bool bv_has_quartz_window();
bool bv_has_window();
bool bv_has_mixer();
bool bv_has_font();
int bv_lua_version_major();
int bv_lua_version_minor();
int bv_lua_version_patch();
double bv_lua_version_number();

BvWindow bv_createWindow(const char* title, int width, int height);
void bv_closeWindow(BvWindow window);
void bv_destroyWindow(BvWindow window);
char* bv_getWindowTitle(BvWindow window); // the caller frees it with free()
void bv_getWindowSize(BvWindow window, int* width, int* height);
void bv_setWindowSize(BvWindow window, int width, int height);
void bv_setWindowTitle(BvWindow window, const char* title);
void bv_pushImage(BvWindow window, const TesselImage* image);
void bv_updateWindow(BvWindow window);
bool bv_windowShouldClose(BvWindow window);
void bv_clearWindow(BvWindow window, uint8_t red, uint8_t green, uint8_t blue);
TesselImage* bv_captureWindow(BvWindow window); // not registered as live
void bv_getMousePosition(BvWindow window, int* x, int* y);
bool bv_getMouseButtonState(BvWindow window, int button); // 0 left, 1 right, 2 middle

// The 45 sampled keys, in the order of bv_key_state's index.
enum BvKey : int {
    BV_KEY_RETURN,
    BV_KEY_UP,
    BV_KEY_DOWN,
    BV_KEY_LEFT,
    BV_KEY_RIGHT,
    BV_KEY_A,
    BV_KEY_Z = BV_KEY_A + 25,
    BV_KEY_1,
    BV_KEY_9 = BV_KEY_1 + 8,
    BV_KEY_0,
    BV_KEY_MINUS,
    BV_KEY_BACK,
    BV_KEY_DELETE,
    BV_KEY_SPACE,
    BV_KEY_COUNT
};
void bv_updateKeyboardState();
bool bv_key_state(int key); // as of the last bv_updateKeyboardState

void bv_setTouchBarButtonText(BvWindow window, int button, const char* text);
void bv_setTouchBarButtonImage(BvWindow window, int button, const TesselImage* image);
void bv_clearTouchBar(BvWindow window);
int bv_getTouchBarButtonState(BvWindow window, int button);

void bv_save_png(const char* path, const uint8_t* pixels, int width, int height);
uint8_t* bv_load_png(const char* path, int* width, int* height); // the caller frees it with delete[]
bool bv_png_requires_postprocess();

void bv_sleep_ms(int milliseconds);
