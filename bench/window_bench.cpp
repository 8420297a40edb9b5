// A game's frame hand-off: Daziz.renderImage of a finished 960 x 544 frame and
// Daziz.forceUpdate into a window of the same size, beside a plain copy of the
// frame's bytes. Needs a display (bench/run-window-bench.sh starts its own).
#include "TesselImage.h"
#include "frame_compose.h"
#include "modules.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

std::atomic<long> allocations{0};

NativeFunction daziz(const char* name) {
    for (const HostMember& member : dazizMembers())
        if (std::strcmp(member.name, name) == 0) return member.function;
    std::abort();
}

TesselImage* gameFrame() {
    TesselImage* frame = createLiveImage(960, 544);
    for (int i = 0; i < 960 * 544; ++i) {
        uint8_t* p = frame->pixels.get() + size_t(i) * 4;
        p[0] = uint8_t(i), p[1] = uint8_t(i >> 8), p[2] = uint8_t(i >> 16), p[3] = 255;
    }
    return frame;
}

void BM_FrameMemcpy(benchmark::State& state) {
    TesselImage* frame = gameFrame();
    std::vector<uint8_t> copy(960 * 544 * 4);
    for (auto _ : state) {
        std::memcpy(copy.data(), frame->pixels.get(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    destroyLiveImage(frame);
}
BENCHMARK(BM_FrameMemcpy)->Unit(benchmark::kMillisecond);

// The composition alone, into a 32-bit 0xRRGGBB device image.
void BM_ComposeFrame(benchmark::State& state) {
    TesselImage* frame = gameFrame();
    std::vector<uint8_t> back(960 * 544 * 4), device(960 * 544 * 4);
    const PixelPacker packer(channelFormat(0xFF0000), channelFormat(0xFF00), channelFormat(0xFF));
    const uint8_t clear[3] = {0, 0, 0};
    std::vector<int> columns;
    for (auto _ : state) {
        composeFrame({frame->pixels.get(), 960, 544}, clear, 960, 544, back.data(), packer,
                     {device.data(), 960 * 4, 32}, columns);
        benchmark::ClobberMemory();
    }
    destroyLiveImage(frame);
}
BENCHMARK(BM_ComposeFrame)->Unit(benchmark::kMillisecond);

void BM_RenderImageForceUpdate(benchmark::State& state) {
    const NativeFunction render = daziz("renderImage"), update = daziz("forceUpdate");
    daziz("spawnWindow")({Variable(int32_t(960)), Variable(int32_t(544)), Variable(std::string("bench"))});
    TesselImage* frame = gameFrame();
    const std::vector<Variable> args = {Variable::pointer(frame)}, none;
    for (int i = 0; i < 10; ++i) render(args), update(none); // the window settles at its size
    const long before = allocations;
    for (auto _ : state) {
        render(args);
        update(none);
    }
    state.counters["allocs_per_frame"] = double(allocations - before) / double(state.iterations());
    daziz("killWindow")(none);
    destroyLiveImage(frame);
}
BENCHMARK(BM_RenderImageForceUpdate)->Unit(benchmark::kMillisecond);

} // namespace

void* operator new(size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

BENCHMARK_MAIN();
