// Feeds arbitrary bytes to the Type 1 loader (PFB or PFA by the first byte)
// and draws glyphs through its charstring interpreter.
#include "TesselImage.h"
#include "Type1Backend.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    bv::fonts::Type1Backend font;
    if (font.load(bytes)) {
        for (uint32_t codepoint : {0u, 32u, 65u, 122u, 0xE9u, 0xFFFDu}) {
            bv::fonts::GlyphBitmap g = font.rasterize(codepoint, 0.02);
            if (g.coverage.size() != size_t(g.width) * size_t(g.height)) std::abort();
        }
    }
    FontHandle* handle = bv_ttf_font_open(std::move(bytes), 17);
    if (!handle) return 0;
    delete bv_ttf_font_render(handle, "Type 1\n\xc0", 0, 0, 0, 255);
    bv_ttf_font_free(handle);
    return 0;
}
