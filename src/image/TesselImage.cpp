#include "TesselImage.h"

#include <algorithm>
#include <cstring>

std::unordered_set<TesselImage*> liveTesselImages;

namespace {

// At exit, the records scripts never killed are freed with the registry, so
// that a leak checker reports only records that really went astray.
struct RegistryTeardown {
    ~RegistryTeardown() {
        for (TesselImage* image : liveTesselImages) delete image;
        liveTesselImages.clear();
    }
} registryTeardown;

} // namespace

TesselImage* createLiveImage(int32_t width, int32_t height) {
    auto image = std::make_unique<TesselImage>();
    image->width = width;
    image->height = height;
    if (width > 0 && height > 0)
        image->pixels = std::make_unique<uint8_t[]>(size_t(width) * size_t(height) * 4);
    return registerLiveImage(std::move(image));
}

TesselImage* registerLiveImage(std::unique_ptr<TesselImage> image) {
    TesselImage* record = image.release();
    liveTesselImages.insert(record);
    return record;
}

bool isLiveImage(const TesselImage* image) {
    return liveTesselImages.count(const_cast<TesselImage*>(image)) != 0;
}

bool destroyLiveImage(TesselImage* image) {
    if (!liveTesselImages.erase(image)) return false;
    delete image;
    return true;
}

namespace {

bool inside(const TesselImage* image, int32_t x, int32_t y) {
    return image && image->pixels && x >= 0 && y >= 0 && x < image->width && y < image->height;
}

size_t pixelOffset(const TesselImage* image, int32_t x, int32_t y) {
    return (size_t(y) * size_t(image->width) + size_t(x)) * 4;
}

} // namespace

Rgba getPixel(const TesselImage* image, int32_t x, int32_t y) {
    if (!inside(image, x, y)) return {};
    const uint8_t* p = image->pixels.get() + pixelOffset(image, x, y);
    return {p[0], p[1], p[2], p[3]};
}

void setPixel(TesselImage* image, int32_t x, int32_t y, Rgba colour) {
    if (!inside(image, x, y)) return;
    uint8_t* p = image->pixels.get() + pixelOffset(image, x, y);
    p[0] = colour.r, p[1] = colour.g, p[2] = colour.b, p[3] = colour.a;
}

bool cleanImage(TesselImage* image) {
    if (!isLiveImage(image)) return false;
    bool empty = image->width == 0 && image->height == 0;
    bool filled = image->width > 0 && image->height > 0 && image->pixels;
    if (empty || filled) return true;
    image->width = image->height = 0;
    image->pixels.reset();
    return false;
}

TesselImage* createSolidColourImage(int32_t width, int32_t height, Rgba colour) {
    TesselImage* image = createLiveImage(std::max(width, 1), std::max(height, 1));
    uint8_t* p = image->pixels.get();
    const size_t count = size_t(image->width) * size_t(image->height);
    for (size_t i = 0; i < count; ++i, p += 4)
        p[0] = colour.r, p[1] = colour.g, p[2] = colour.b, p[3] = colour.a;
    return image;
}

TesselImage pixelCopy(const TesselImage& image) {
    TesselImage copy;
    copy.width = image.width;
    copy.height = image.height;
    if (hasPixels(&image)) {
        const size_t bytes = size_t(image.width) * size_t(image.height) * 4;
        copy.pixels = std::make_unique<uint8_t[]>(bytes);
        std::memcpy(copy.pixels.get(), image.pixels.get(), bytes);
    }
    return copy;
}
