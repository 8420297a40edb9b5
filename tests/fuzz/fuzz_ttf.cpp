// Feeds arbitrary bytes to the TrueType loader, then draws glyphs and a line
// of text at two sizes: never a crash, a hang or a huge allocation.
#include "TesselImage.h"
#include "TrueTypeBackend.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    bv::fonts::TrueTypeBackend font;
    if (font.load(bytes)) {
        for (uint32_t codepoint : {0u, 65u, 0xE9u, 0x1F600u}) {
            bv::fonts::GlyphBitmap g = font.rasterize(codepoint, 0.02);
            if (g.coverage.size() != size_t(g.width) * size_t(g.height)) std::abort();
        }
    }
    FontHandle* handle = bv_ttf_font_open(std::move(bytes), 13);
    if (!handle) return 0;
    delete bv_ttf_font_render(handle, "Ag\n\xff\xe2\x82 x", 255, 255, 255, 255);
    bv_ttf_font_resize(handle, 30);
    delete bv_ttf_font_render(handle, "Ag", 255, 255, 255, 128);
    bv_ttf_font_free(handle);
    return 0;
}
