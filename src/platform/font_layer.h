// The flat font functions of the platform layer. A font handle is opaque;
// a null or freed handle is accepted and ignored.
#pragma once

struct TesselImage;
using BvFont = void*;

BvFont bv_font_load(const char* path, double size); // null when the file is not a usable font
void bv_font_resize(BvFont font, double size);
// A new image, not yet registered as live; null for a dead handle.
TesselImage* bv_font_render(BvFont font, const char* text, int red, int green, int blue, double alpha);
void bv_font_free(BvFont font);
