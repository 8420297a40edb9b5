// Drawing one image onto another, the operation every frame is built with,
// and attaching a reflection map to an image.
#pragma once

#include "TesselImage.h"

// The area from which a blit is shared out among worker threads.
constexpr int64_t threadedBlitArea = 180000;

// Draws `source` onto `target` with its top-left corner at (x, y), scaled by
// `scale` and turned by `rotation` degrees about its centre, sampling the
// nearest source pixel. Copies pixels, or alpha-blends them with `blend`.
void blitImage(TesselImage* target, const TesselImage* source, int32_t x, int32_t y, bool blend, float scale,
               float rotation);
// Gives `image` its own copy of `map`'s pixels as its reflection map.
void insertReflection(TesselImage* image, const TesselImage* map);
