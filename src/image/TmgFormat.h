// The engine's own uncompressed image file: a dump of a record with its
// reflection map, so that a texture and its map travel together. All fields are
// signed 64-bit little-endian: width, height, pixels, reflection width and
// height, reflection pixels. No magic, no version, no padding.
#pragma once

#include "TesselImage.h"

// True for a name of at least 4 characters ending in ".tmg" (case matters).
bool hasTMGExtension(const char* name);
// Writes the record; false for a bad name, an unopenable file or a write error.
bool saveTesselImage(const TesselImage* image, const char* path);
// A new live record read from the file, or null for a bad name, an unopenable,
// truncated or inconsistent file (nothing allocated is kept).
TesselImage* loadTesselImage(const char* path);
