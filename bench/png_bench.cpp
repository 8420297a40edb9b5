// Decoding (and encoding) throughput of the PNG codec, in bytes of RGBA8
// output per second.
//
//   png_bench [benchmark flags]                 PngSuite files + a 1024x1024 synthetic image
//   png_bench [benchmark flags] FILE...         just these files
//   png_bench --write-synthetic PATH            writes the synthetic image with our writer
//
// The PngSuite images are read from the shared test data folder (see
// BV_PNGSUITE_DIR); they are (c) Willem van Schaik, free to use per their
// LICENSE file there.
#include "png.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Smooth gradients and shapes with a little noise: compressible, but not trivially.
Bytes synthetic_pixels(int width, int height) {
    Bytes pixels(size_t(width) * height * 4);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int dx = x - width / 2, dy = y - height / 2;
            const bool disc = dx * dx + dy * dy < (width / 3) * (width / 3);
            uint8_t* p = &pixels[(size_t(y) * width + x) * 4];
            p[0] = uint8_t(x / 4 + (noise >> 30));
            p[1] = uint8_t(disc ? 200 - y / 8 : y / 4);
            p[2] = uint8_t(((x / 32) ^ (y / 32)) & 1 ? 220 : 40);
            p[3] = uint8_t(disc ? 255 : 128 + x / 8);
        }
    }
    return pixels;
}

constexpr int kSyntheticSize = 1024;

bool write_synthetic(const std::string& path) {
    const Bytes pixels = synthetic_pixels(kSyntheticSize, kSyntheticSize);
    return bv::png::save_rgba8_file(path.c_str(), pixels.data(), kSyntheticSize, kSyntheticSize);
}

void register_decode(const std::string& name, Bytes file) {
    bv::png::Image probe;
    if (!bv::png::decode_memory(file.data(), file.size(), probe)) {
        std::fprintf(stderr, "png_bench: %s does not decode, skipped\n", name.c_str());
        return;
    }
    benchmark::RegisterBenchmark(
        ("decode/" + name).c_str(), [file = std::move(file)](benchmark::State& state) {
            bv::png::Image image;
            for (auto _ : state) {
                bv::png::decode_memory(file.data(), file.size(), image);
                benchmark::DoNotOptimize(image.pixels.data());
            }
            state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.pixels.size()));
        });
}

void register_encode() {
    benchmark::RegisterBenchmark("encode/synthetic1024", [](benchmark::State& state) {
        const Bytes pixels = synthetic_pixels(kSyntheticSize, kSyntheticSize);
        const std::string path =
            (std::filesystem::temp_directory_path() / "bv_png_bench_encode.png").string();
        for (auto _ : state)
            bv::png::save_rgba8_file(path.c_str(), pixels.data(), kSyntheticSize, kSyntheticSize);
        state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixels.size()));
        std::filesystem::remove(path);
    });
}

// A spread of colour types, depths, interlacing and compression levels.
const char* const kSuiteFiles[] = {"basn0g08", "basn0g16", "basn2c08", "basn2c16", "basn3p08", "basn4a08",
                                   "basn4a16", "basn6a08", "basn6a16", "basi6a08", "basi2c16", "f04n2c08",
                                   "z00n2c08", "z09n2c08", "ps2n2c16", "tbwn0g16"};

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-synthetic") == 0) return write_synthetic(argv[2]) ? 0 : 1;

    benchmark::Initialize(&argc, argv);
    if (argc > 1) {
        for (int i = 1; i < argc; ++i)
            register_decode(std::filesystem::path(argv[i]).filename().string(), read_file(argv[i]));
    } else {
        for (const char* name : kSuiteFiles)
            register_decode(name, read_file(std::string(BV_PNGSUITE_DIR) + "/" + name + ".png"));
        const std::string path =
            (std::filesystem::temp_directory_path() / "bv_png_bench_synthetic.png").string();
        if (write_synthetic(path)) register_decode("synthetic1024-stored", read_file(path));
        std::filesystem::remove(path);
        register_encode();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
