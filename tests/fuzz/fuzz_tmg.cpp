// libFuzzer target: any file handed to the .tmg reader must load as a record
// whose arrays match its sizes, or as nothing, never a crash, a leak or an
// allocation beyond the file's own size.
#include "TmgFormat.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/fuzz_tmg_" + std::to_string(getpid()) + ".tmg";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    if (TesselImage* image = loadTesselImage(path.c_str())) {
        const uint64_t pixelBytes = uint64_t(image->width) * uint64_t(image->height) * 4;
        const uint64_t mapBytes = uint64_t(image->reflectionWidth) * uint64_t(image->reflectionHeight) * 4;
        if (image->width < 0 || image->height < 0 || pixelBytes + mapBytes + 32 > size) std::abort();
        // Touch the last byte of each array, so that a short one shows up.
        if (pixelBytes && image->pixels[pixelBytes - 1] != data[16 + pixelBytes - 1]) std::abort();
        if (mapBytes && !image->reflectionPixels) std::abort();
        if (!destroyLiveImage(image)) std::abort();
    }
    return 0;
}
