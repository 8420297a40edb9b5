#include "Scene.h"

#include <algorithm>
#include <cmath>

float playerx = 24, playery = 24;
float cameraangle = 0, cameratilt = 0, cameraHeightOffset = 6;
float hFOV = 1.5708f, maxDistance = 160, tileSize = 16;
float reflectionIntensity = 0.15f;
int32_t maxRaytrace = 2;
float minBright = 0.25f, maxBright = 1.0f;
float fogR = 0, fogG = 0, fogB = 255;
IntGrid walls, roofs, floors, roofsOff, floorsOff;
std::vector<TesselImage*> textures;
std::vector<Quad> faces;
std::vector<std::vector<std::vector<int32_t>>> quadGrid;
std::vector<LightSource> lights;
float tmpX = 0, tmpY = 0, tmpZ = 0;

namespace {

constexpr float degreesToRadians = 0.0174533f;

// trunc(value) limited to [0, count - 1]; NaN counts as 0.
int32_t cellIndex(double value, int32_t count) {
    double index = std::trunc(value);
    if (!(index > 0)) return 0;
    return index >= count - 1 ? count - 1 : int32_t(index);
}

} // namespace

int32_t mapRows() {
    return int32_t(walls.size());
}

int32_t mapColumns() {
    return walls.empty() ? 0 : int32_t(walls[0].size());
}

Quad makeQuad(Vec3 tl, Vec3 tr, Vec3 br, Vec3 bl, int32_t texture) {
    Quad q;
    q.tl = tl, q.tr = tr, q.br = br, q.bl = bl;
    q.texture = texture;
    q.edgeU = tr - tl;
    q.edgeDiag = br - tl;
    q.edgeV = bl - tl;
    q.normal = normalised(cross(q.edgeU, q.edgeDiag));
    q.lenUSquared = dot(q.edgeU, q.edgeU);
    q.lenVSquared = dot(q.edgeV, q.edgeV);
    constexpr float margin = 0.0001f;
    q.minX = std::min({tl.x, tr.x, br.x, bl.x}) - margin,
    q.maxX = std::max({tl.x, tr.x, br.x, bl.x}) + margin;
    q.minY = std::min({tl.y, tr.y, br.y, bl.y}) - margin,
    q.maxY = std::max({tl.y, tr.y, br.y, bl.y}) + margin;
    q.minZ = std::min({tl.z, tr.z, br.z, bl.z}) - margin,
    q.maxZ = std::max({tl.z, tr.z, br.z, bl.z}) + margin;
    return q;
}

void buildQuadGrid(int32_t rows, int32_t columns, float cellSize) {
    quadGrid.assign(size_t(std::max(rows, 0)),
                    std::vector<std::vector<int32_t>>(size_t(std::max(columns, 0))));
    if (rows < 1 || columns < 1) return;
    for (size_t q = 0; q < faces.size(); ++q) {
        const Quad& quad = faces[q];
        // A range whose upper end lies before the map stays empty.
        if (!(std::trunc(quad.maxX / cellSize) >= 0 && std::trunc(quad.maxZ / cellSize) >= 0)) continue;
        if (!(std::trunc(quad.minX / cellSize) < columns && std::trunc(quad.minZ / cellSize) < rows))
            continue;
        int32_t c0 = cellIndex(quad.minX / cellSize, columns), c1 = cellIndex(quad.maxX / cellSize, columns);
        int32_t r0 = cellIndex(quad.minZ / cellSize, rows), r1 = cellIndex(quad.maxZ / cellSize, rows);
        for (int32_t r = r0; r <= r1; ++r)
            for (int32_t c = c0; c <= c1; ++c) quadGrid[r][c].push_back(int32_t(q));
    }
}

void spawnLight(float x, float z, float y, int32_t r, int32_t g, int32_t b, float intensity) {
    LightSource light;
    light.x = x, light.y = tileSize - y, light.z = z;
    light.r = r / 255.0f, light.g = g / 255.0f, light.b = b / 255.0f;
    light.intensity = intensity;
    lights.push_back(light);
}

PlanePoint movementTarget(double distance, bool forward) {
    double a = cameraangle;
    if (forward) return {playerx + std::cos(a) * distance, playery + std::sin(a) * distance};
    return {playerx - std::sin(a) * distance, playery + std::cos(a) * distance};
}

void setFovDegrees(float degrees) {
    hFOV = degrees * degreesToRadians;
}

float fovDegrees() {
    return hFOV / degreesToRadians;
}
