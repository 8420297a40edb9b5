// The RGBA8 image record every picture of the engine is, and the registry of
// the records handed to scripts.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_set>

// Rows top first, no padding; pixel (x, y) holds R, G, B, A at (y * width + x) * 4.
struct TesselImage {
    int32_t width = 0;
    int32_t height = 0;
    std::unique_ptr<uint8_t[]> pixels;
    int32_t reflectionWidth = 0;
    int32_t reflectionHeight = 0;
    std::unique_ptr<uint8_t[]> reflectionPixels; // same layout as pixels
};

// Every record a script holds; only Tessel.killImage removes and destroys one.
extern std::unordered_set<TesselImage*> liveTesselImages;

// A new record of width x height transparent black pixels (no pixels for an
// empty size), registered as live.
TesselImage* createLiveImage(int32_t width, int32_t height);
// Registers a record made elsewhere (a capture, rendered text) and returns it.
TesselImage* registerLiveImage(std::unique_ptr<TesselImage> image);
bool isLiveImage(const TesselImage* image);
// Removes a live record from the registry and frees it; false for anything else.
bool destroyLiveImage(TesselImage* image);
// A non-null record with pixels: what most operations accept.
inline bool hasPixels(const TesselImage* image) {
    return image && image->pixels && image->width > 0 && image->height > 0;
}

// One pixel's channels, 0..255 each; alpha 255 is opaque.
struct Rgba {
    uint8_t r = 0, g = 0, b = 0, a = 0;
    bool operator==(const Rgba&) const = default;
};

// Bounds-checked access: outside the image, or without pixels, reads give
// transparent black and writes are ignored.
Rgba getPixel(const TesselImage* image, int32_t x, int32_t y);
void setPixel(TesselImage* image, int32_t x, int32_t y, Rgba colour);

// The strict validity rule: a live record that is either empty (0 x 0) or has
// positive dimensions and pixels. A live record that fails it is reset to an
// empty one, so that later operations see a consistent record.
bool cleanImage(TesselImage* image);

// A new live record of at least 1 x 1 pixels, all of one colour.
TesselImage* createSolidColourImage(int32_t width, int32_t height, Rgba colour);

// An unregistered record with a copy of the image's pixels (no reflection
// map): what an operation reads from when its source is also its target.
TesselImage pixelCopy(const TesselImage& image);
