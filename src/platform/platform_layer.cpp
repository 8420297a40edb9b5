// The platform answers that do not depend on a window backend: features,
// versions, PNG files, sleeping, and the touch bar this platform lacks.
#include "platform_layer.h"

#include "png.h"

#include <chrono>
#include <cstring>
#include <thread>

bool bv_has_metal_window() {
    return true;
}
bool bv_has_quartz_window() {
    return false;
}
bool bv_has_window() {
    return true;
}
bool bv_has_mixer() {
    return true;
}
bool bv_has_font() {
    return true;
}
int bv_lua_version_major() {
    return 5;
}
int bv_lua_version_minor() {
    return 4;
}
int bv_lua_version_patch() {
    return 8;
}
double bv_lua_version_number() {
    return 5.4;
}

void bv_setTouchBarButtonText(BvWindow, int, const char*) {}
void bv_setTouchBarButtonImage(BvWindow, int, const TesselImage*) {}
void bv_clearTouchBar(BvWindow) {}
int bv_getTouchBarButtonState(BvWindow, int) {
    return 0;
}

void bv_save_png(const char* path, const uint8_t* pixels, int width, int height) {
    bv::png::save_rgba8_file(path, pixels, width, height);
}

uint8_t* bv_load_png(const char* path, int* width, int* height) {
    *width = *height = 0;
    bv::png::Image image;
    if (!bv::png::load_file(path, image)) return nullptr;
    auto* pixels = new uint8_t[image.pixels.size()];
    std::memcpy(pixels, image.pixels.data(), image.pixels.size());
    *width = image.width;
    *height = image.height;
    return pixels;
}

bool bv_png_requires_postprocess() {
    return false;
}

void bv_sleep_ms(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
