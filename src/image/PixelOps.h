// The in-place pixel operations on a record: dithering, ASCII art, mirroring,
// colour processors, four-corner skew, anchor-grid smoothing, bilinear
// upscaling and cropping. Invalid input does nothing (two of them say so on
// standard error). Large work is split into row bands on worker threads.
#pragma once

#include "TesselImage.h"

#include <string>

// Grey level of a colour on the scale of its channels (white is about 0.816
// of full scale).
float luminance(float r, float g, float b);

// Optionally doubles the image by nearest neighbour, then adds to every
// channel a noise in [-amount, amount] that depends only on (x, y, amount).
void ditherImage(TesselImage* image, int32_t amount, bool doubleSize);
// The picture as block characters, fitted and centred in columns x rows cells
// (a cell is 1 wide and 1.5 tall), one "\n" per row.
std::string asciiArt(const TesselImage* image, int32_t columns, int32_t rows);
// Writes asciiArt to standard output in one piece, or complains on standard error.
void printAsciiArt(const TesselImage* image, int32_t columns, int32_t rows);
void mirrorTesselImage(TesselImage* image, bool horizontal);

enum ImageProcessor : int32_t {
    greyscaleProcessor = 1,
    halfGreyscaleProcessor = 2,
    alphaToMaskProcessor = 3,
    invertProcessor = 4,
    recolourProcessor = 5,
    opaqueProcessor = 6,
    fillTransparentProcessor = 7,
    unpremultiplyProcessor = 8,
};
// Runs one processor over every pixel; r, g, b are colours on 0..1, a is unused.
void processTesselImagePixels(TesselImage* image, int32_t processor, float r, float g, float b, float a);

// Maps the whole source onto the destination quadrilateral lt, rt, lb, rb
// (two triangles), nearest neighbour; pixels outside it are left alone.
void skewImage(int32_t ltx, int32_t lty, int32_t rtx, int32_t rty, int32_t lbx, int32_t lby, int32_t rbx,
               int32_t rby, const TesselImage* source, TesselImage* destination);
// Replaces every pixel off the grid of multiples of `spacing` by the bilinear
// blend of its four surrounding grid pixels.
void bilinearInPlace(TesselImage* image, int32_t spacing);
// Enlarges the image by `factor` (> 1) with bilinear sampling.
void upscaleTesselImage(TesselImage* image, float factor);
// Keeps the top-left width x height region.
void trimTesselImage(TesselImage* image, int32_t width, int32_t height);
