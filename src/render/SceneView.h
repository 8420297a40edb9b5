// What both renderers read during one frame: the map grids flattened into
// one record per cell, the textures checked against the image registry, the
// quads listed per cell, the cell size and the fog colour. It is built on the
// script thread before any worker starts, into buffers kept from frame to
// frame, so a ragged or mismatched grid can never be read out of bounds.
#pragma once

#include "Scene.h"

#include <cstdint>
#include <vector>

struct Texel {
    uint8_t r = 0, g = 0, b = 0, a = 0;
    uint8_t reflection = 0; // 0..255 from the texture's reflection map, 0 without one
};

struct TextureView {
    const uint8_t* pixels = nullptr;
    int32_t width = 0, height = 0;
    const uint8_t* reflection = nullptr;
    int32_t reflectionWidth = 0, reflectionHeight = 0;
};

// One map cell. The floor plane (`floors` grid) lies at Y = floorY and the
// roof plane (`roofs` grid) at Y = roofY; with Y growing downward the floor
// plane is the one overhead.
struct MapCell {
    int32_t wall = 0;  // texture id, 0 for an open cell
    int32_t floor = 0; // texture id of the floor plane, 0 for none
    int32_t roof = 0;  // texture id of the roof plane, 0 for none
    float floorY = 0, roofY = 0;
    uint32_t quadBegin = 0, quadEnd = 0; // range of SceneView::quadIndices
};

// The vertical face on the side between two open neighbours whose floor
// planes (roof planes when `roofPlanes`) lie at different heights: its Y range
// and the texture of the cell whose plane juts out into the other's space.
// Texture 0 when there is none: a plane is missing or the face is thinner than 0.001.
struct StepFace {
    float top = 0, bottom = 0;
    int32_t texture = 0;
};
StepFace stepFace(const MapCell& a, const MapCell& b, bool roofPlanes);

struct SceneView {
    int32_t rows = 0, columns = 0;
    float tileSize = 16;
    std::vector<MapCell> cells; // row-major
    std::vector<TextureView> textures;
    std::vector<int32_t> quadIndices;
    const Quad* quads = nullptr;
    float fog[3] = {0, 0, 0}; // limited to 0..255

    const MapCell* cell(int32_t row, int32_t column) const {
        if (row < 0 || column < 0 || row >= rows || column >= columns) return nullptr;
        return &cells[size_t(row) * size_t(columns) + size_t(column)];
    }
    // The texel at fractions (u, v) of texture `id`, wrapping around; a
    // missing texture shows a magenta and black checker, opaque.
    Texel sample(int32_t id, float u, float v) const;
};

// trunc(x) mod size with a negative remainder made positive; a NaN or a
// fraction too large for any texture takes texel 0.
inline int32_t wrapIndex(float x, int32_t size) {
    if (x >= 0.0f && x < 1073741824.0f) return int32_t(x) % size;
    if (x < 0.0f && x > -1073741824.0f) {
        int32_t i = int32_t(x) % size;
        return i < 0 ? i + size : i;
    }
    return 0;
}

Texel missingTexel(float u, float v);

inline Texel SceneView::sample(int32_t id, float u, float v) const {
    if (id <= 0 || size_t(id) >= textures.size() || !textures[size_t(id)].pixels) return missingTexel(u, v);
    const TextureView& t = textures[size_t(id)];
    const uint8_t* p = t.pixels + (size_t(wrapIndex(v * t.height, t.height)) * size_t(t.width) +
                                   size_t(wrapIndex(u * t.width, t.width))) *
                                      4;
    Texel texel{p[0], p[1], p[2], p[3], 0};
    if (t.reflection) {
        const uint8_t* m = t.reflection + (size_t(wrapIndex(v * t.reflectionHeight, t.reflectionHeight)) *
                                               size_t(t.reflectionWidth) +
                                           size_t(wrapIndex(u * t.reflectionWidth, t.reflectionWidth))) *
                                              4;
        texel.reflection = uint8_t((m[0] + m[1] + m[2]) / 3);
    }
    return texel;
}

// Fills `view` from the grids as a renderer receives them: `belowGrid` gives
// the roof plane's offset and `aboveGrid` the floor plane's (the fourth and
// fifth grids of the renderers' argument lists).
void buildSceneView(SceneView& view, const IntGrid& wallGrid, const IntGrid& roofGrid,
                    const IntGrid& floorGrid, const IntGrid& belowGrid, const IntGrid& aboveGrid,
                    const std::vector<TesselImage*>& textureList, bool withQuads);

// The grid value at (row, column), 0 outside the grid.
int32_t gridValue(const IntGrid& grid, int32_t row, int32_t column);
// The map cell of world position (x, z) as (row, column); -1 outside the map.
void cellOf(const SceneView& view, float x, float z, int32_t& row, int32_t& column);

// The camera's axes for yaw `angle` and pitch `tilt`.
struct CameraBasis {
    Vec3 forward, right, up;
};
CameraBasis cameraBasis(float angle, float tilt);
// The camera's world Y over position (x, z): tileSize plus the offset grid's
// value there (0 outside the map), minus cameraHeightOffset.
float cameraHeight(const SceneView& view, const IntGrid& belowGrid, float x, float z);
