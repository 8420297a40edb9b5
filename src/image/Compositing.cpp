#include "Compositing.h"
#include "PixelMath.h"
#include "RowBands.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Everything a band of a blit needs, so that a band job is one pointer.
struct BlitJob {
    TesselImage* target;
    const TesselImage* source;
    bool blend;
    int32_t x, y;        // placement of the source's top-left corner
    int32_t left, right; // target columns to cover
    int32_t top, bottom; // target rows to cover
    float scale;
    bool rotated;
    float cx, cy, cosA, sinA; // centre and turn of a rotated blit
};

uint8_t* rowOf(TesselImage* image, int32_t y) {
    return image->pixels.get() + size_t(y) * size_t(image->width) * 4;
}
const uint8_t* rowOf(const TesselImage* image, int32_t y) {
    return image->pixels.get() + size_t(y) * size_t(image->width) * 4;
}

void writeSpan(uint8_t* out, const uint8_t* in, int32_t count, bool blend) {
    if (!blend) {
        std::memcpy(out, in, size_t(count) * 4);
        return;
    }
    blendSpan(out, in, count);
}

// Unscaled, unturned: each target row takes one run of a source row.
void copyRows(const BlitJob& job, int32_t begin, int32_t end) {
    const int32_t count = job.right - job.left;
    for (int32_t ty = begin; ty < end; ++ty) {
        const uint8_t* in = rowOf(job.source, ty - job.y) + size_t(job.left - job.x) * 4;
        writeSpan(rowOf(job.target, ty) + size_t(job.left) * 4, in, count, job.blend);
    }
}

// The nearest source pixel of target pixel (px, py), or null outside the source.
const uint8_t* sourceSample(const BlitJob& job, int32_t px, int32_t py) {
    float sx, sy;
    if (job.rotated) {
        const float dx = float(px) - job.cx, dy = float(py) - job.cy;
        const float u = (dx * job.cosA + dy * job.sinA) / job.scale;
        const float v = (-dx * job.sinA + dy * job.cosA) / job.scale;
        sx = float(job.source->width) * 0.5f + u;
        sy = float(job.source->height) * 0.5f + v;
    } else {
        sx = float(px - job.x) / job.scale;
        sy = float(py - job.y) / job.scale;
    }
    // Far-off points (and NaN) are out before rounding, which needs a bounded value.
    if (!(sx > -1.0f && sy > -1.0f && sx < float(job.source->width) && sy < float(job.source->height)))
        return nullptr;
    const int64_t ix = roundHalfAway(sx), iy = roundHalfAway(sy);
    if (ix < 0 || iy < 0 || ix >= job.source->width || iy >= job.source->height) return nullptr;
    return rowOf(job.source, int32_t(iy)) + size_t(ix) * 4;
}

void sampleRows(const BlitJob& job, int32_t begin, int32_t end) {
    for (int32_t py = begin; py < end; ++py) {
        uint8_t* out = rowOf(job.target, py);
        for (int32_t px = job.left; px < job.right; ++px) {
            const uint8_t* in = sourceSample(job, px, py);
            if (!in) continue;
            if (job.blend)
                blendPixel(out + size_t(px) * 4, in);
            else
                std::memcpy(out + size_t(px) * 4, in, 4);
        }
    }
}

void runRows(const BlitJob& job, int32_t begin, int32_t end) {
    if (!job.rotated && job.scale == 1.0f)
        copyRows(job, begin, end);
    else
        sampleRows(job, begin, end);
}

// Shares the job's rows among workers when its area is large enough.
void runBlit(const BlitJob& job, int64_t area, int32_t rows) {
    int32_t count = std::min({hardwareThreads(), AllowedThreads, rows});
    if (area < threadedBlitArea || count < 2) return runRows(job, job.top, job.bottom);
    const BlitJob* shared = &job;
    runBands(count, [shared, count](int32_t i) {
        const int32_t rows = shared->bottom - shared->top;
        RowBand band = ceilingBand(rows, count, i);
        if (band.begin < band.end) runRows(*shared, shared->top + band.begin, shared->top + band.end);
    });
}

// Turns (px, py) about (cx, cy) and widens the box [minX, maxX] x [minY, maxY].
void widenByTurnedCorner(float px, float py, const BlitJob& job, float box[4]) {
    const float dx = px - job.cx, dy = py - job.cy;
    const float tx = job.cx + dx * job.cosA - dy * job.sinA, ty = job.cy + dx * job.sinA + dy * job.cosA;
    box[0] = std::min(box[0], tx), box[1] = std::max(box[1], tx);
    box[2] = std::min(box[2], ty), box[3] = std::max(box[3], ty);
}

// A box edge limited to the target, computed in double so that a box far off
// the target stays defined.
int32_t boxEdge(double edge, int32_t limit) {
    return int32_t(std::clamp(edge, 0.0, double(limit)));
}

} // namespace

void blitImage(TesselImage* target, const TesselImage* source, int32_t x, int32_t y, bool blend, float scale,
               float rotation) {
    if (!hasPixels(target) || !hasPixels(source) || scale == 0.0f) return;
    if (source == target) {
        const TesselImage copy = pixelCopy(*source);
        return blitImage(target, &copy, x, y, blend, scale, rotation);
    }
    float turn = std::fmod(rotation, 360.0f);
    if (turn < 0) turn += 360.0f;
    BlitJob job{target, source, blend, x, y, 0, 0, 0, 0, scale, turn >= 0.00001f && turn <= 359.999f,
                0,      0,      1,     0};

    if (scale == 1.0f && !job.rotated) {
        job.left = std::max(x, 0), job.top = std::max(y, 0);
        job.right = int32_t(std::min<int64_t>(int64_t(x) + source->width, target->width));
        job.bottom = int32_t(std::min<int64_t>(int64_t(y) + source->height, target->height));
        if (job.left >= job.right || job.top >= job.bottom) return;
        return runBlit(job, int64_t(source->width) * source->height, source->height);
    }

    const float sw = float(source->width) * scale, sh = float(source->height) * scale;
    job.cx = float(x) + sw / 2, job.cy = float(y) + sh / 2;
    float box[4] = {float(x), float(x) + sw, float(y), float(y) + sh};
    if (std::isnan(box[1]) || std::isnan(box[3])) return;
    if (job.rotated) {
        const float angle = turn * 0.017453292f;
        job.cosA = std::cos(angle), job.sinA = std::sin(angle);
        box[0] = box[2] = INFINITY, box[1] = box[3] = -INFINITY;
        for (float cornerX : {float(x), float(x) + sw})
            for (float cornerY : {float(y), float(y) + sh}) widenByTurnedCorner(cornerX, cornerY, job, box);
    }
    job.left = boxEdge(std::floor(std::min(box[0], box[1])), target->width);
    job.right = boxEdge(std::ceil(std::max(box[0], box[1])), target->width);
    job.top = boxEdge(std::floor(std::min(box[2], box[3])), target->height);
    job.bottom = boxEdge(std::ceil(std::max(box[2], box[3])), target->height);
    if (job.left >= job.right || job.top >= job.bottom) return;
    runBlit(job, int64_t(job.right - job.left) * (job.bottom - job.top), job.bottom - job.top);
}

void insertReflection(TesselImage* image, const TesselImage* map) {
    if (!hasPixels(image) || !hasPixels(map)) return;
    const size_t bytes = size_t(map->width) * size_t(map->height) * 4;
    auto copy = std::make_unique<uint8_t[]>(bytes);
    std::memcpy(copy.get(), map->pixels.get(), bytes);
    image->reflectionPixels = std::move(copy);
    image->reflectionWidth = map->width;
    image->reflectionHeight = map->height;
}
