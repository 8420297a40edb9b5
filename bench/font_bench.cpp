// Text rendering speed, and the glyphs behind bench/font_quality.py.
//
//   font_bench [benchmark flags] FONT      a 40-character line at 24 px, warm and cold cache
//   font_bench --glyphs FONT SIZE TEXT     prints each glyph's box and coverage (hex rows)
//   font_bench --png FONT SIZE TEXT OUT    renders TEXT in white into the PNG file OUT
#include "TesselImage.h"
#include "png.h"
#include "ttf.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// What a game's status line looks like: 40 characters of mixed text.
const char* const statusLine = "Score 1250  Lives 3  Level 7: Misty Vale";

std::vector<uint8_t> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int printGlyphs(const char* path, double size, std::string_view text) {
    auto backend = bv::fonts::loadFontBackend(readFile(path));
    if (!backend) {
        std::fprintf(stderr, "cannot load %s\n", path);
        return 1;
    }
    double scale = size / backend->units_per_em();
    for (size_t pos = 0; pos < text.size();) {
        uint32_t codepoint = bv::fonts::decodeUtf8(text, pos);
        bv::fonts::GlyphBitmap g = backend->rasterize(codepoint, scale);
        std::printf("glyph %u %d %d %d %d %.4f\n", codepoint, g.left, g.top, g.width, g.height, g.advance);
        for (int r = 0; r < g.height; ++r) {
            for (int c = 0; c < g.width; ++c) std::printf("%02x", g.coverage[size_t(r) * g.width + c]);
            std::printf("\n");
        }
    }
    return 0;
}

int writePng(const char* path, double size, const char* text, const char* out) {
    FontHandle* font = bv_ttf_font_load(path, size);
    TesselImage* image = font ? bv_ttf_font_render(font, text, 255, 255, 255, 255) : nullptr;
    bool saved = image && bv::png::save_rgba8_file(out, image->pixels.get(), image->width, image->height);
    delete image;
    bv_ttf_font_free(font);
    return saved ? 0 : 1;
}

std::string fontPath;

void renderWarm(benchmark::State& state) {
    FontHandle* font = bv_ttf_font_load(fontPath.c_str(), 24);
    delete bv_ttf_font_render(font, statusLine, 255, 255, 255, 255);
    for (auto _ : state) delete bv_ttf_font_render(font, statusLine, 255, 255, 255, 255);
    bv_ttf_font_free(font);
}

// A size change empties the cache: every glyph is rasterised again.
void renderCold(benchmark::State& state) {
    FontHandle* font = bv_ttf_font_load(fontPath.c_str(), 24);
    for (auto _ : state) {
        bv_ttf_font_resize(font, 24);
        delete bv_ttf_font_render(font, statusLine, 255, 255, 255, 255);
    }
    bv_ttf_font_free(font);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--glyphs") == 0)
        return printGlyphs(argv[2], std::atof(argv[3]), argv[4]);
    if (argc == 6 && std::strcmp(argv[1], "--png") == 0)
        return writePng(argv[2], std::atof(argv[3]), argv[4], argv[5]);
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: font_bench [benchmark flags] FONT\n");
        return 2;
    }
    fontPath = argv[1];
    benchmark::RegisterBenchmark("render_warm_24px_40chars", renderWarm)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("render_cold_24px_40chars", renderCold)->Unit(benchmark::kMicrosecond);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
