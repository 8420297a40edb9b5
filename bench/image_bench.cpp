// The C++ side of the image benchmark, run beside bench/image/blit_bench.bs by
// bench/run-image-bench.sh: it writes the frame-sized pictures the script
// loads, then times the plain references (memcpy of a frame, a one-thread
// per-pixel blend loop) and the library's own calls on one thread and on the
// default thread count. Prints "name microseconds" lines, best of the runs.
#include "Compositing.h"
#include "PixelOps.h"
#include "RowBands.h"
#include "platform_layer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int32_t frameWidth = 960, frameHeight = 544;
constexpr size_t frameBytes = size_t(frameWidth) * frameHeight * 4;

// An opaque background and a HUD overlay whose alpha sweeps 0..255 across
// the frame, as a game's fade or glass panel does.
void paintBackground(uint8_t* p) {
    for (int32_t y = 0; y < frameHeight; ++y)
        for (int32_t x = 0; x < frameWidth; ++x, p += 4)
            p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = uint8_t(x ^ y), p[3] = 255;
}

void paintOverlay(uint8_t* p) {
    std::mt19937 random(1);
    for (int32_t y = 0; y < frameHeight; ++y)
        for (int32_t x = 0; x < frameWidth; ++x, p += 4)
            p[0] = uint8_t(random()), p[1] = uint8_t(random()), p[2] = uint8_t(random()),
            p[3] = uint8_t(x * 255 / (frameWidth - 1));
}

TesselImage* frameImage(void (*paint)(uint8_t*)) {
    TesselImage* image = createLiveImage(frameWidth, frameHeight);
    paint(image->pixels.get());
    return image;
}

// The blend written the plain way: one pixel at a time, with divisions.
void referenceBlend(uint8_t* d, const uint8_t* s, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, d += 4, s += 4) {
        const uint32_t a = s[3];
        if (a == 0) continue;
        if (a == 255) {
            std::memcpy(d, s, 4);
            continue;
        }
        for (int c = 0; c < 3; ++c) d[c] = uint8_t((d[c] * (255 - a) + s[c] * a) / 255);
        d[3] = uint8_t(std::min<uint32_t>(255, d[3] + a - d[3] * a / 255));
    }
}

double bestMicros(int runs, int repeats, const std::function<void()>& work) {
    double best = 1e300;
    for (int run = 0; run < runs; ++run) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < repeats; ++i) work();
        std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count() / repeats);
    }
    return best;
}

void report(const char* name, double micros) {
    std::printf("%s %.2f\n", name, micros);
}

// The library's call timed on one thread and on the default thread count.
void reportBothThreadCounts(const char* name, int repeats, const std::function<void()>& work) {
    const int32_t saved = AllowedThreads;
    AllowedThreads = 1;
    report((std::string(name) + "_one_thread").c_str(), bestMicros(5, repeats, work));
    AllowedThreads = saved;
    report(name, bestMicros(5, repeats, work));
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--write-pictures") {
        std::vector<uint8_t> pixels(frameBytes);
        paintBackground(pixels.data());
        bv_save_png((std::string(argv[2]) + "/background.png").c_str(), pixels.data(), frameWidth,
                    frameHeight);
        paintOverlay(pixels.data());
        bv_save_png((std::string(argv[2]) + "/overlay.png").c_str(), pixels.data(), frameWidth, frameHeight);
        return 0;
    }
    TesselImage* background = frameImage(paintBackground);
    TesselImage* overlay = frameImage(paintOverlay);
    TesselImage* frame = frameImage(paintBackground);

    std::vector<uint8_t> copy(frameBytes);
    report("reference_memcpy", bestMicros(5, 200, [&] {
               std::memcpy(copy.data(), background->pixels.get(), frameBytes);
               asm volatile("" ::"r"(copy.data()) : "memory");
           }));
    report("reference_blend_one_thread", bestMicros(5, 40, [&] {
               referenceBlend(frame->pixels.get(), overlay->pixels.get(), frameBytes / 4);
           }));

    reportBothThreadCounts("cpp_blit_opaque", 200, [&] { blitImage(frame, background, 0, 0, false, 1, 0); });
    reportBothThreadCounts("cpp_blit_blend", 40, [&] { blitImage(frame, overlay, 0, 0, true, 1, 0); });
    reportBothThreadCounts("cpp_blit_scaled_rotated", 40,
                           [&] { blitImage(frame, overlay, 120, 70, true, 0.75f, 30); });
    reportBothThreadCounts("cpp_bilinear_solid", 40, [&] { bilinearInPlace(frame, 4); });
    reportBothThreadCounts("cpp_bilinear_x2", 10, [&] {
        TesselImage* grown = frameImage(paintBackground);
        upscaleTesselImage(grown, 2);
        destroyLiveImage(grown);
    });
    return 0;
}
