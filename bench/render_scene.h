// The 3D view's benchmark scene, also drawn to PNG files by the tests: a
// 32 x 32 map with walls, ceilings of several heights, a sunken floor, eight
// 64 x 64 textures (glass, a mirror and a polished floor among them), four
// lights and sixteen banners, seen along a fixed loop of 60 camera positions.
#pragma once

#include "Scene.h"

#include <cmath>
#include <cstdint>

namespace bench {

constexpr int32_t mapSize = 32;
constexpr int32_t pathLength = 60;

inline void paint(TesselImage* image, int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    uint8_t* p = image->pixels.get() + (size_t(y) * size_t(image->width) + size_t(x)) * 4;
    p[0] = r, p[1] = g, p[2] = b, p[3] = a;
}

// Texture n (1..8): brick, stone, wooden ceiling, floor tiles, banner with
// holes, glass, polished metal and mirror, the last two with reflection maps.
inline TesselImage* makeTexture(int32_t n) {
    TesselImage* image = createLiveImage(64, 64);
    for (int32_t y = 0; y < 64; ++y)
        for (int32_t x = 0; x < 64; ++x) {
            uint8_t noise = uint8_t((x * 73 + y * 151 + x * y * 7) % 23);
            switch (n) {
            case 1: { // brick
                bool mortar = y % 16 < 2 || (x + (y / 16 % 2) * 16) % 32 < 2;
                mortar ? paint(image, x, y, 180, 180, 170, 255)
                       : paint(image, x, y, 150 + noise, 60, 40, 255);
                break;
            }
            case 2:
                paint(image, x, y, 110 + noise, 110 + noise, 120 + noise, 255);
                break;
            case 3:
                paint(image, x, y, 120 + (x % 8 < 1 ? 40 : 0), 80 + noise, 40, 255);
                break;
            case 4:
                ((x / 16 + y / 16) % 2) ? paint(image, x, y, 200, 200, 190, 255)
                                        : paint(image, x, y, 60, 70, 90, 255);
                break;
            case 5: {
                bool hole = (x / 8 + y / 8) % 3 == 0 && y > 40;
                paint(image, x, y, 200, 30 + noise, 60, hole ? 0 : 255);
                break;
            }
            case 6:
                paint(image, x, y, 120, 200, 255, 110);
                break;
            case 7:
                paint(image, x, y, 150 + noise, 150 + noise, 160, 255);
                break;
            default:
                paint(image, x, y, 40, 50, 60, 255);
                break;
            }
        }
    if (n == 7 || n == 8) {
        image->reflectionWidth = image->reflectionHeight = 64;
        image->reflectionPixels = std::make_unique<uint8_t[]>(64 * 64 * 4);
        std::fill_n(image->reflectionPixels.get(), 64 * 64 * 4, uint8_t(n == 7 ? 120 : 255));
    }
    return image;
}

// Camera position i of the loop, in world units, and its view angle.
inline void pathPoint(int32_t i, float& x, float& z, float& angle) {
    float a = 2 * 3.14159265f * float(i) / pathLength;
    x = (16 + 9.5f * std::cos(a)) * 16, z = (16 + 9.5f * std::sin(a)) * 16;
    angle = a + 1.9f; // looking ahead and slightly inward
}

// Replaces the scene state with the benchmark scene.
inline void buildScene() {
    tileSize = 16;
    walls.assign(mapSize, std::vector<int32_t>(mapSize, 0));
    floors = roofs = roofsOff = floorsOff = walls;
    for (int32_t r = 0; r < mapSize; ++r)
        for (int32_t c = 0; c < mapSize; ++c) {
            bool border = r == 0 || c == 0 || r == mapSize - 1 || c == mapSize - 1;
            if (border)
                walls[r][c] = 1;
            else if (r % 6 == 3 && c % 6 == 3)
                walls[r][c] = 2;
            else if (r == 16 && c > 12 && c < 20)
                walls[r][c] = c % 2 ? 6 : 8; // glass and mirrors
            floors[r][c] = 3;
            roofs[r][c] = (r > 12 && r < 20 && c > 3 && c < 9) ? 7 : 4;
            roofsOff[r][c] = (r < 12 && c < 16) ? 8 : (r > 22 ? 4 : 0);       // ceilings of three heights
            floorsOff[r][c] = (r > 22 && c > 22 && r < 28 && c < 28) ? 3 : 0; // a sunken square
        }
    for (int32_t i = 0; i < pathLength; ++i) { // the loop itself is open
        float x, z, angle;
        pathPoint(i, x, z, angle);
        walls[int32_t(z / 16)][int32_t(x / 16)] = 0;
    }
    textures.assign(1, nullptr);
    for (int32_t n = 1; n <= 8; ++n) textures.push_back(makeTexture(n));
    faces.clear();
    for (int32_t i = 0; i < 16; ++i) { // banners hanging in the open
        float cx = float(40 + (i % 4) * 128 + 24), cz = float(40 + (i / 4) * 128 + 8);
        faces.push_back(
            makeQuad({cx - 6, 2, cz}, {cx + 6, 2, cz}, {cx + 6, 12, cz + 4}, {cx - 6, 12, cz + 4}, 5));
    }
    buildQuadGrid(mapSize, mapSize, tileSize);
    lights.clear();
    spawnLight(128, 128, 10, 255, 220, 180, 96);
    spawnLight(384, 128, 10, 180, 200, 255, 96);
    spawnLight(128, 384, 10, 255, 160, 120, 96);
    spawnLight(384, 384, 10, 200, 255, 200, 96);
    minBright = 0.45f, maxBright = 1.0f;
    fogR = 40, fogG = 40, fogB = 60;
    maxDistance = 320;
    cameraHeightOffset = 6;
    cameratilt = 0;
    hFOV = 1.5708f;
}

// Frees the scene's textures.
inline void destroyScene() {
    for (TesselImage* texture : textures) destroyLiveImage(texture);
    textures.assign(1, nullptr);
}

} // namespace bench
