// Frame times of the 3D view on the benchmark scene at 960 x 544, along the
// scene's 60 camera positions: the ray caster at step 4 and step 2 (with two
// worker threads, then with one), and the projection renderer. Prints the
// median of each and the two-thread speed-up.
#include "Projection.h"
#include "Raycast.h"
#include "render_scene.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <vector>

namespace {

// Median wall time of a frame; `cpuMs` receives the mean processor time of a
// frame over all threads, which a loaded machine distorts less.
double medianFrameMs(TesselImage* out, const std::function<void(TesselImage*)>& render, int rounds,
                     double* cpuMs = nullptr) {
    std::vector<double> times;
    std::clock_t cpuStart = std::clock();
    for (int round = 0; round < rounds; ++round)
        for (int32_t i = 0; i < bench::pathLength; ++i) {
            float x, z, angle;
            bench::pathPoint(i, x, z, angle);
            playerx = x, playery = z, cameraangle = angle;
            auto start = std::chrono::steady_clock::now();
            render(out);
            times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
    if (cpuMs) *cpuMs = double(std::clock() - cpuStart) * 1000.0 / CLOCKS_PER_SEC / double(times.size());
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    bench::buildScene();
    TesselImage* out = createLiveImage(960, 544);
    medianFrameMs(out, raycastCurrentScene, 1); // warm up the worker pool and the caches

    double cpu4, cpu2, cpuSerial, cpuProjection;
    AllowedThreads = 2;
    step = 4;
    double step4 = medianFrameMs(out, raycastCurrentScene, rounds, &cpu4);
    step = 2;
    double step2 = medianFrameMs(out, raycastCurrentScene, rounds, &cpu2);
    AllowedThreads = 1;
    step = 4;
    double serial4 = medianFrameMs(out, raycastCurrentScene, rounds, &cpuSerial);
    double projection = medianFrameMs(out, projectCurrentScene, rounds, &cpuProjection);

    std::printf("                            wall median   processor time per frame\n");
    std::printf("raycast step 4, 2 threads: %8.2f ms %12.2f ms (target <= 16 ms)\n", step4, cpu4);
    std::printf("raycast step 2, 2 threads: %8.2f ms %12.2f ms\n", step2, cpu2);
    std::printf("raycast step 4, 1 thread:  %8.2f ms %12.2f ms\n", serial4, cpuSerial);
    std::printf("projection:                %8.2f ms %12.2f ms (target <= 16 ms)\n", projection,
                cpuProjection);
    std::printf("speed-up of 2 threads over 1 at step 4: %.2f (target >= 1.7)\n", serial4 / step4);
    destroyLiveImage(out);
    bench::destroyScene();
    return 0;
}
