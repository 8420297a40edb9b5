// The window backend of a build without one: no window can be opened, so the
// mouse reads -1, -1 and every button and key reads up.
#include "platform_layer.h"

#include <cstdlib>
#include <cstring>

BvWindow bv_createWindow(const char*, int, int) {
    return nullptr;
}
void bv_closeWindow(BvWindow) {}
void bv_destroyWindow(BvWindow) {}
char* bv_getWindowTitle(BvWindow) {
    return strdup("");
}
void bv_getWindowSize(BvWindow, int* width, int* height) {
    if (width) *width = 0;
    if (height) *height = 0;
}
void bv_setWindowSize(BvWindow, int, int) {}
void bv_setWindowTitle(BvWindow, const char*) {}
void bv_pushImage(BvWindow, const TesselImage*) {}
void bv_updateWindow(BvWindow) {}
bool bv_windowShouldClose(BvWindow) {
    return true;
}
void bv_clearWindow(BvWindow, uint8_t, uint8_t, uint8_t) {}
TesselImage* bv_captureWindow(BvWindow) {
    return nullptr;
}
void bv_getMousePosition(BvWindow, int* x, int* y) {
    *x = -1;
    *y = -1;
}
bool bv_getMouseButtonState(BvWindow, int) {
    return false;
}
void bv_updateKeyboardState() {}
bool bv_key_state(int) {
    return false;
}
