// The platform's font functions forward to the engine's own font backend.
#include "font_layer.h"

#include "ttf.h"

namespace {

FontHandle* handleOf(BvFont font) {
    return static_cast<FontHandle*>(font);
}

BvFont backend_font_load(const char* path, double size) {
    return bv_ttf_font_load(path, size);
}
void backend_font_resize(BvFont font, double size) {
    bv_ttf_font_resize(handleOf(font), size);
}
TesselImage* backend_font_render(BvFont font, const char* text, int red, int green, int blue, double alpha) {
    return bv_ttf_font_render(handleOf(font), text, red, green, blue, alpha);
}
void backend_font_free(BvFont font) {
    bv_ttf_font_free(handleOf(font));
}

} // namespace

BvFont bv_font_load(const char* path, double size) {
    return backend_font_load(path, size);
}
void bv_font_resize(BvFont font, double size) {
    backend_font_resize(font, size);
}
TesselImage* bv_font_render(BvFont font, const char* text, int red, int green, int blue, double alpha) {
    return backend_font_render(font, text, red, green, blue, alpha);
}
void bv_font_free(BvFont font) {
    backend_font_free(font);
}
