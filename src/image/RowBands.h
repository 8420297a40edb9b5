// Splitting an operation's output rows into bands that run on worker threads.
// Every band is finished before runBands returns, and each band writes only
// its own rows, so one thread and many give the same pixels.
#pragma once

#include <cstdint>
#include <functional>

// The worker-thread limit shared by the filters, the blitter and the 3D view.
extern int32_t AllowedThreads;
// The block size shared by the anchor-grid smoothing filter and the ray caster.
extern int32_t step;

// A half-open range of rows.
struct RowBand {
    int32_t begin = 0;
    int32_t end = 0;
};

// Band i of `rows` rows cut into `count` bands of ceil(rows / count) rows
// (the last ones may be short or empty).
RowBand ceilingBand(int32_t rows, int32_t count, int32_t i);
// Band i of `rows` rows cut into `count` bands whose sizes differ by at most one.
RowBand evenBand(int32_t rows, int32_t count, int32_t i);
// The number of ceiling bands of the image filters: min(rows, AllowedThreads),
// and 1 when that is below 2.
int32_t ceilingBandCount(int32_t rows);

// Runs work(i) for i in [0, count): the calling thread takes part, the rest go
// to a persistent pool of workers, and all are done when this returns. Called
// from inside a band, it runs the bands in turn on that thread.
void runBands(int32_t count, const std::function<void(int32_t)>& work);

// The hardware's thread count, at least 1.
int32_t hardwareThreads();
