#include "TesselImage.h"

std::unordered_set<TesselImage*> liveTesselImages;

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
