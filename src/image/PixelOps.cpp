#include "PixelOps.h"
#include "PixelMath.h"
#include "RowBands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr float gred1 = 0.55f, gred2 = 1.0f, ggreen1 = 0.65f, ggreen2 = 1.457f, gblue1 = 0.475f,
                gblue2 = 2.0f;

uint8_t* pixelAt(TesselImage* image, int32_t x, int32_t y) {
    return image->pixels.get() + (size_t(y) * size_t(image->width) + size_t(x)) * 4;
}
const uint8_t* pixelAt(const TesselImage* image, int32_t x, int32_t y) {
    return image->pixels.get() + (size_t(y) * size_t(image->width) + size_t(x)) * 4;
}

size_t byteCount(int32_t width, int32_t height) {
    return size_t(width) * size_t(height) * 4;
}

// A size the record's 32-bit fields can hold, else the allocation fails as
// one too large would.
int32_t checkedSize(double size) {
    if (!(size < double(std::numeric_limits<int32_t>::max()))) throw std::bad_alloc();
    return int32_t(size);
}

// Runs rowWork(begin, end) over the ceiling bands of `rows`.
template <class RowWork> void inCeilingBands(int32_t rows, const RowWork& rowWork) {
    const int32_t count = ceilingBandCount(rows);
    const RowWork* work = &rowWork;
    runBands(count, [work, rows, count](int32_t i) {
        RowBand band = ceilingBand(rows, count, i);
        if (band.begin < band.end) (*work)(band.begin, band.end);
    });
}

// Runs rowWork(begin, end) over `count` even bands of `rows` (one call when
// count is below 2).
template <class RowWork> void inEvenBands(int32_t rows, int32_t count, const RowWork& rowWork) {
    if (count < 2) return rowWork(0, rows);
    const RowWork* work = &rowWork;
    runBands(count, [work, rows, count](int32_t i) {
        RowBand band = evenBand(rows, count, i);
        if (band.begin < band.end) (*work)(band.begin, band.end);
    });
}

// Installs a new pixel array, freeing the old one only now that the new one
// is complete.
void replacePixels(TesselImage* image, std::unique_ptr<uint8_t[]> pixels, int32_t width, int32_t height) {
    image->pixels = std::move(pixels);
    image->width = width;
    image->height = height;
}

void doubleInPlace(TesselImage* image) {
    const int32_t width = checkedSize(2.0 * image->width), height = checkedSize(2.0 * image->height);
    auto doubled = std::make_unique<uint8_t[]>(byteCount(width, height));
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            std::memcpy(doubled.get() + (size_t(y) * width + x) * 4, pixelAt(image, x / 2, y / 2), 4);
    replacePixels(image, std::move(doubled), width, height);
}

int32_t ditherNoise(uint32_t x, uint32_t y, uint32_t amount) {
    uint32_t h = (x * 92837111u) ^ (y * 689287499u);
    uint32_t value = (h * 1664525u + 1013904223u) % (2u * amount + 1u);
    return int32_t(int64_t(value) - int64_t(amount));
}

uint8_t clampChannel(int32_t value) {
    return uint8_t(std::clamp(value, 0, 255));
}

// A processed channel back to a byte: negative gives 0, else the truncated
// value limited to full scale.
uint8_t channelByte(float value) {
    if (value < 0) return 0;
    return uint8_t(std::min(value, 1.0f) * 255.0f);
}

void processPixel(float c[4], int32_t processor, float r, float g, float b) {
    switch (processor) {
    case greyscaleProcessor:
        if (c[3] > 0) c[0] = c[1] = c[2] = luminance(c[0], c[1], c[2]);
        break;
    case halfGreyscaleProcessor:
        if (c[3] > 0) {
            float grey = luminance(c[0], c[1], c[2]);
            for (int i = 0; i < 3; ++i) c[i] = (c[i] + grey) / 2;
        }
        break;
    case alphaToMaskProcessor:
        c[0] = c[1] = c[2] = 0;
        c[3] = 1 - c[3];
        break;
    case invertProcessor:
        for (int i = 0; i < 3; ++i) c[i] = 1 - c[i];
        break;
    case recolourProcessor:
        c[0] = r, c[1] = g, c[2] = b;
        break;
    case opaqueProcessor:
        c[3] = 1;
        break;
    case fillTransparentProcessor:
        if (c[3] == 0) c[0] = r, c[1] = g, c[2] = b;
        c[3] = 1;
        break;
    case unpremultiplyProcessor:
        if (c[3] > 0 && c[3] < 1)
            for (int i = 0; i < 3; ++i) c[i] /= c[3];
        break;
    default:
        break;
    }
}

// Nearest source pixel of a sampling point, limited to the image.
const uint8_t* nearestClamped(const TesselImage* image, float sx, float sy) {
    int64_t x = std::clamp<int64_t>(roundHalfAway(sx), 0, image->width - 1);
    int64_t y = std::clamp<int64_t>(roundHalfAway(sy), 0, image->height - 1);
    return pixelAt(image, int32_t(x), int32_t(y));
}

constexpr const char* asciiRamp[13] = {" ", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "▚", "▙", "▊", "▉", "█"};

} // namespace

float luminance(float r, float g, float b) {
    return (r * gred1 * gred2 + g * ggreen1 * ggreen2 + b * gblue1 * gblue2) / 3;
}

void ditherImage(TesselImage* image, int32_t amount, bool doubleSize) {
    if (!image || !image->pixels) return;
    if (doubleSize) doubleInPlace(image);
    if (amount < 1 || !hasPixels(image)) return;
    inCeilingBands(image->height, [image, amount](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint8_t* p = pixelAt(image, 0, y);
            for (int32_t x = 0; x < image->width; ++x, p += 4) {
                int32_t noise = ditherNoise(uint32_t(x), uint32_t(y), uint32_t(amount));
                for (int i = 0; i < 4; ++i) p[i] = clampChannel(p[i] + noise);
            }
        }
    });
}

std::string asciiArt(const TesselImage* image, int32_t columns, int32_t rows) {
    const double scale = std::min(rows * 1.5 / image->height, double(columns) / image->width);
    const double pw = image->width * scale, ph = image->height * scale;
    const double ox = (columns - pw) / 2, oy = (rows * 1.5 - ph) / 2;
    std::string text;
    for (int32_t r = 0; r < rows; ++r) {
        const double yc = r * 1.5 + 0.75;
        if (!(oy <= yc && yc < oy + ph)) {
            text.append(size_t(columns), ' ');
            text += '\n';
            continue;
        }
        double sy = std::min((yc - oy) / scale, double(image->height - 1));
        sy = sy > 0 ? sy : 0;
        for (int32_t c = 0; c < columns; ++c) {
            const double xc = c + 0.5;
            if (!(ox <= xc && xc < ox + pw)) {
                text += ' ';
                continue;
            }
            double sx = std::min((xc - ox) / scale, double(image->width - 1));
            sx = sx > 0 ? sx : 0;
            const uint8_t* p = pixelAt(image, int32_t(roundHalfAway(sx)), int32_t(roundHalfAway(sy)));
            float grey = luminance(p[0], p[1], p[2]);
            int level = std::clamp(int(grey * 12 / 255 + 0.5), 0, 12);
            text += asciiRamp[level];
        }
        text += '\n';
    }
    return text;
}

void printAsciiArt(const TesselImage* image, int32_t columns, int32_t rows) {
    if (!hasPixels(image) || columns < 1 || rows < 1) {
        std::fputs("Invalid input parameters.\n", stderr);
        return;
    }
    std::string text = asciiArt(image, columns, rows);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void mirrorTesselImage(TesselImage* image, bool horizontal) {
    if (!hasPixels(image)) return;
    const int32_t width = image->width, height = image->height;
    if (horizontal) {
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width / 2; ++x)
                std::swap_ranges(pixelAt(image, x, y), pixelAt(image, x, y) + 4,
                                 pixelAt(image, width - 1 - x, y));
        return;
    }
    for (int32_t y = 0; y < height / 2; ++y)
        std::swap_ranges(pixelAt(image, 0, y), pixelAt(image, 0, y + 1), pixelAt(image, 0, height - 1 - y));
}

void processTesselImagePixels(TesselImage* image, int32_t processor, float r, float g, float b, float) {
    if (!hasPixels(image)) {
        std::fputs("Invalid image\n", stderr);
        return;
    }
    inCeilingBands(image->height, [=](int32_t begin, int32_t end) {
        uint8_t* p = pixelAt(image, 0, begin);
        for (size_t i = 0, n = size_t(end - begin) * image->width; i < n; ++i, p += 4) {
            float c[4] = {p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f, p[3] / 255.0f};
            processPixel(c, processor, r, g, b);
            for (int k = 0; k < 4; ++k) p[k] = channelByte(c[k]);
        }
    });
}

void skewImage(int32_t ltx_, int32_t lty_, int32_t rtx_, int32_t rty_, int32_t lbx_, int32_t lby_,
               int32_t rbx_, int32_t rby_, const TesselImage* source, TesselImage* destination) {
    if (!hasPixels(source) || !hasPixels(destination)) return;
    if (source == destination) {
        const TesselImage copy = pixelCopy(*source);
        return skewImage(ltx_, lty_, rtx_, rty_, lbx_, lby_, rbx_, rby_, &copy, destination);
    }
    const float ltx = float(ltx_), lty = float(lty_), rtx = float(rtx_), rty = float(rty_);
    const float lbx = float(lbx_), lby = float(lby_), rbx = float(rbx_), rby = float(rby_);
    const float detA = (rtx - ltx) * (lby - lty) - (lbx - ltx) * (rty - lty);
    const float detB = (rbx - rtx) * (lby - rty) - (lbx - rtx) * (rby - rty);
    const float invA = std::fabs(detA) < 0.00001f ? 0.0f : 1.0f / detA;
    const float invB = std::fabs(detB) < 0.00001f ? 0.0f : 1.0f / detB;
    if (invA == 0 && invB == 0) return;
    const float lastX = float(source->width - 1), lastY = float(source->height - 1);
    inCeilingBands(destination->height, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const float py = float(y);
            uint8_t* out = pixelAt(destination, 0, y);
            for (int32_t x = 0; x < destination->width; ++x, out += 4) {
                const float px = float(x);
                float sx = 0, sy = 0;
                bool inside = false;
                if (invA != 0) {
                    float wRT = ((px - ltx) * (lby - lty) - (py - lty) * (lbx - ltx)) * invA;
                    float wLT = ((rtx - px) * (lby - py) - (lbx - px) * (rty - py)) * invA;
                    float wLB = 1 - wLT - wRT;
                    if (wRT >= 0 && wLT >= 0 && wLB >= 0) sx = wRT * lastX, sy = wLB * lastY, inside = true;
                }
                if (!inside && invB != 0) {
                    float u = ((rbx - px) * (lby - py) - (lbx - px) * (rby - py)) * invB;
                    float v = ((px - rtx) * (lby - rty) - (py - rty) * (lbx - rtx)) * invB;
                    float w = 1 - u - v;
                    if (u >= 0 && v >= 0 && w >= 0) sx = (u + v) * lastX, sy = (v + w) * lastY, inside = true;
                }
                if (inside) std::memcpy(out, nearestClamped(source, sx, sy), 4);
            }
        }
    });
}

void bilinearInPlace(TesselImage* image, int32_t spacing) {
    if (!image || !image->pixels || image->width < 1 || image->height < 1 || spacing < 1 ||
        AllowedThreads < 1)
        return;
    const int32_t width = image->width, height = image->height;
    inEvenBands(height, std::min(hardwareThreads(), AllowedThreads), [=](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const int32_t y0 = y - y % spacing;
            const bool belowY = y0 + spacing < height;
            const int32_t y1 = belowY ? y0 + spacing : y0;
            const float fy = belowY ? float(y % spacing) / spacing : 0.0f;
            for (int32_t x = 0; x < width; ++x) {
                if (x % spacing == 0 && y % spacing == 0) continue;
                const int32_t x0 = x - x % spacing;
                const bool rightX = x0 + spacing < width;
                const int32_t x1 = rightX ? x0 + spacing : x0;
                const float fx = rightX ? float(x % spacing) / spacing : 0.0f;
                const uint8_t *p00 = pixelAt(image, x0, y0), *p10 = pixelAt(image, x1, y0);
                const uint8_t *p01 = pixelAt(image, x0, y1), *p11 = pixelAt(image, x1, y1);
                uint8_t* out = pixelAt(image, x, y);
                for (int i = 0; i < 4; ++i) {
                    float top = (1 - fx) * p00[i] + fx * p10[i];
                    float bottom = (1 - fx) * p01[i] + fx * p11[i];
                    out[i] = uint8_t(roundHalfAway(top * (1 - fy) + bottom * fy));
                }
            }
        }
    });
}

void upscaleTesselImage(TesselImage* image, float factor) {
    if (!hasPixels(image) || !(factor > 1.0f)) return;
    const int32_t width = image->width, height = image->height;
    const int32_t newWidth = checkedSize(std::trunc(float(width) * factor));
    const int32_t newHeight = checkedSize(std::trunc(float(height) * factor));
    auto scaled = std::make_unique<uint8_t[]>(byteCount(newWidth, newHeight));
    uint8_t* out = scaled.get();
    auto sampleRange = [factor](int32_t i, int32_t size, int32_t& i0, int32_t& i1, float& f) {
        const float s = (float(i) + 0.5f) / factor - 0.5f;
        const int32_t whole = int32_t(s);
        i0 = std::clamp(whole, 0, size - 1);
        i1 = std::clamp(whole + 1, 0, size - 1);
        f = s - float(i0);
    };
    inEvenBands(newHeight, std::min(AllowedThreads, newHeight), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            int32_t y0, y1;
            float fy;
            sampleRange(y, height, y0, y1, fy);
            uint8_t* row = out + size_t(y) * newWidth * 4;
            for (int32_t x = 0; x < newWidth; ++x) {
                int32_t x0, x1;
                float fx;
                sampleRange(x, width, x0, x1, fx);
                const uint8_t *p00 = pixelAt(image, x0, y0), *p10 = pixelAt(image, x1, y0);
                const uint8_t *p01 = pixelAt(image, x0, y1), *p11 = pixelAt(image, x1, y1);
                for (int i = 0; i < 4; ++i) {
                    float value = p00[i] * (1 - fx) * (1 - fy) + p10[i] * fx * (1 - fy) +
                                  p01[i] * (1 - fx) * fy + p11[i] * fx * fy;
                    row[x * 4 + i] = uint8_t(int32_t(value));
                }
            }
        }
    });
    replacePixels(image, std::move(scaled), newWidth, newHeight);
}

void trimTesselImage(TesselImage* image, int32_t width, int32_t height) {
    if (!hasPixels(image) || width < 1 || height < 1 || width > image->width || height > image->height)
        return;
    if (width == image->width && height == image->height) return;
    auto cropped = std::make_unique<uint8_t[]>(byteCount(width, height));
    uint8_t* out = cropped.get();
    inEvenBands(height, std::min(AllowedThreads, height), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y)
            std::memcpy(out + size_t(y) * width * 4, pixelAt(image, 0, y), size_t(width) * 4);
    });
    replacePixels(image, std::move(cropped), width, height);
}
