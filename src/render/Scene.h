// The 3D view's scene: the renderer's tunables, the tile map with its
// textures, the free-standing quads and the point lights. The script thread
// sets all of it; the renderers' workers only read it while that thread waits.
//
// World axes: X along the map's columns, Z along its rows, Y is height and
// grows downward (a script height h lies at Y = tileSize - h).
#pragma once

#include "RowBands.h"
#include "TesselImage.h"
#include "Vec3.h"

#include <cstdint>
#include <vector>

// A textured parallelogram; the fields after the corners are derived by makeQuad.
struct Quad {
    Vec3 tl, tr, br, bl;
    int32_t texture = 0;
    Vec3 normal;
    Vec3 edgeU;    // tr - tl
    Vec3 edgeDiag; // br - tl
    Vec3 edgeV;    // bl - tl
    float lenUSquared = 0, lenVSquared = 0;
    float minX = 0, maxX = 0, minY = 0, maxY = 0, minZ = 0, maxZ = 0;
};
static_assert(sizeof(Quad) == 33 * 4);

// A coloured point light; `intensity` is its radius in world units.
struct LightSource {
    float x = 0, y = 0, z = 0;
    float r = 0, g = 0, b = 0; // 0..1
    float intensity = 0;
    float lightFalloff = 1.5f; // kept for scripts' sake; the lighting does not read it
};

using IntGrid = std::vector<std::vector<int32_t>>;

extern float playerx, playery; // camera position: world X and Z
extern float cameraangle, cameratilt, cameraHeightOffset;
extern float hFOV, maxDistance, tileSize;
extern float reflectionIntensity;
extern int32_t maxRaytrace;
extern float minBright, maxBright;
extern float fogR, fogG, fogB; // 0..255
extern IntGrid walls, roofs, floors, roofsOff, floorsOff;
extern std::vector<TesselImage*> textures; // entry 0 is always null
extern std::vector<Quad> faces;
extern std::vector<std::vector<std::vector<int32_t>>> quadGrid; // rows x columns of indices into faces
extern std::vector<LightSource> lights;
extern float tmpX, tmpY, tmpZ;

// Rows of `walls`, and the length of its first row.
int32_t mapRows();
int32_t mapColumns();

Quad makeQuad(Vec3 tl, Vec3 tr, Vec3 br, Vec3 bl, int32_t texture);
// Lists every quad of `faces` in each map cell its bounding box touches.
void buildQuadGrid(int32_t rows, int32_t columns, float cellSize);

// A light at script position (x, z) and height y, colour in 0..255.
void spawnLight(float x, float z, float y, int32_t r, int32_t g, int32_t b, float intensity);

struct PlanePoint {
    double x = 0, z = 0;
};
// Where movePlayer(distance, forward) would take the camera: along the view
// when forward, else sideways to the right.
PlanePoint movementTarget(double distance, bool forward);

// The field of view in degrees, kept in radians in single precision.
void setFovDegrees(float degrees);
float fovDegrees();
