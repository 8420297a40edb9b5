#include "Raycast.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace {

constexpr float tiny = 0.000001f;     // a direction component below this counts as zero
constexpr float margin = 0.0001f;     // tolerance of the surface tests
constexpr float surfaceLift = 0.001f; // secondary rays start this far off their surface
constexpr float opaqueEnough = 0.99f;
constexpr float infinity = std::numeric_limits<float>::infinity();

struct Hit {
    float t = infinity;
    int32_t texture = 0;
    float u = 0, v = 0;
    Vec3 normal;          // facing the ray
    bool clamped = false; // wall sides take their fractions limited to 0..1
    bool found() const { return t < infinity; }
};

float clamp01(float x) {
    return x > 0 ? (x < 1 ? x : 1) : 0;
}

Vec3 facing(Vec3 normal, Vec3 direction) {
    return dot(normal, direction) < 0 ? normal : normal * -1.0f;
}

Texel sampleHit(const SceneView& view, const Hit& hit) {
    return hit.clamped ? view.sample(hit.texture, clamp01(hit.u), clamp01(hit.v))
                       : view.sample(hit.texture, hit.u, hit.v);
}

// The texture of a step face between two open cells at height y on their
// shared side; 0 for none.
int32_t stepTexture(const MapCell& a, const MapCell& b, float y) {
    for (bool roofPlanes : {false, true}) {
        StepFace face = stepFace(a, b, roofPlanes);
        if (face.texture && y >= face.top && y <= face.bottom) return face.texture;
    }
    return 0;
}

// A ray with the reciprocals of its direction, so that the surface tests
// multiply instead of divide (a component below `tiny` is never divided by).
struct Ray {
    Vec3 o, d, inv;
    Ray(Vec3 origin, Vec3 direction)
        : o(origin), d(direction), inv{1 / direction.x, 1 / direction.y, 1 / direction.z} {}
};

// The nearest surface of one cell that the ray o + t d meets with
// tMin < t, inside the cell's stretch [tEnter, tExit] of the ray.
Hit nearestHit(const SceneView& view, const MapCell& cell, int32_t r, int32_t c, const Ray& ray, float tEnter,
               float tExit, float tMin, bool withQuads) {
    const Vec3 o = ray.o, d = ray.d, inv = ray.inv;
    Hit best;
    const float ts = view.tileSize;
    const float x0 = c * ts, x1 = x0 + ts, z0 = r * ts, z1 = z0 + ts;
    auto inWindow = [&](float t) { return t > tMin && t >= tEnter - margin && t <= tExit + margin; };

    if (withQuads)
        for (uint32_t i = cell.quadBegin; i < cell.quadEnd; ++i) {
            const Quad& q = view.quads[view.quadIndices[i]];
            float denom = dot(d, q.normal);
            if (!(std::fabs(denom) >= tiny) || !(q.lenUSquared > 0 && q.lenVSquared > 0)) continue;
            float t = dot(q.tl - o, q.normal) / denom;
            if (!(inWindow(t) && t < best.t)) continue;
            Vec3 p = o + d * t;
            if (p.x < q.minX || p.x > q.maxX || p.y < q.minY || p.y > q.maxY || p.z < q.minZ || p.z > q.maxZ)
                continue;
            Vec3 rel = p - q.tl;
            float u = dot(rel, q.edgeU) / q.lenUSquared, v = dot(rel, q.edgeV) / q.lenVSquared;
            if (!(u >= 0 && u <= 1 && v >= 0 && v <= 1)) continue;
            best = {t, q.texture, u, v, facing(q.normal, d), false};
        }

    if (cell.wall > 0) {
        Hit side;
        auto trySide = [&](float t, float along, float lo, Vec3 normal) {
            if (inWindow(t) && along >= lo - margin && along <= lo + ts + margin && t < side.t)
                side = {t, cell.wall, (along - lo) / ts, 0, normal, true};
        };
        if (std::fabs(d.z) >= tiny)
            for (float z : {z0, z1}) {
                float t = (z - o.z) * inv.z;
                trySide(t, o.x + d.x * t, x0, {0, 0, d.z > 0 ? -1.0f : 1.0f});
            }
        if (std::fabs(d.x) >= tiny)
            for (float x : {x0, x1}) {
                float t = (x - o.x) * inv.x;
                trySide(t, o.z + d.z * t, z0, {d.x > 0 ? -1.0f : 1.0f, 0, 0});
            }
        if (side.found() && side.t <= best.t + margin) {
            side.v = (o.y + d.y * side.t) / ts;
            best = side;
        }
    }

    auto tryPlane = [&](int32_t texture, float y) {
        if (texture <= 0 || !(std::fabs(d.y) >= tiny)) return;
        float t = (y - o.y) * inv.y;
        if (!(t > tMin && t > tEnter + margin && t <= tExit + margin && t <= best.t + margin)) return;
        float x = o.x + d.x * t, z = o.z + d.z * t;
        if (x < x0 - margin || x > x1 + margin || z < z0 - margin || z > z1 + margin) return;
        best = {t, texture, (x - x0) / ts, (z - z0) / ts, {0, d.y > 0 ? -1.0f : 1.0f, 0}, false};
    };
    tryPlane(cell.floor, cell.floorY);
    tryPlane(cell.roof, cell.roofY);

    if (cell.wall <= 0) {
        auto tryStep = [&](float t, const MapCell* next, float along, float lo, Vec3 normal) {
            if (!next || next->wall > 0 || !inWindow(t) || !(t <= best.t + margin)) return;
            if (along < lo - margin || along > lo + ts + margin) return;
            float y = o.y + d.y * t;
            if (int32_t texture = stepTexture(cell, *next, y))
                best = {t, texture, (along - lo) / ts, y / ts, normal, false};
        };
        if (std::fabs(d.x) >= tiny) {
            float t = ((d.x > 0 ? x1 : x0) - o.x) * inv.x;
            tryStep(t, view.cell(r, c + (d.x > 0 ? 1 : -1)), o.z + d.z * t, z0,
                    {d.x > 0 ? -1.0f : 1.0f, 0, 0});
        }
        if (std::fabs(d.z) >= tiny) {
            float t = ((d.z > 0 ? z1 : z0) - o.z) * inv.z;
            tryStep(t, view.cell(r + (d.z > 0 ? 1 : -1), c), o.x + d.x * t, x0,
                    {0, 0, d.z > 0 ? -1.0f : 1.0f});
        }
    }
    return best;
}

// Walks the cells the ray o + t d crosses inside the map, for t up to maxT,
// calling visit(cell, row, column, tEnter, tExit) until it returns false. A
// ray from outside the map starts where it enters it.
template <class Visit> void walkCells(const SceneView& view, Vec3 o, Vec3 d, float maxT, Visit&& visit) {
    const float ts = view.tileSize;
    if (view.rows <= 0 || !(ts > 0) || !(maxT > 0) || !isFinite(o) || !isFinite(d)) return;
    float tNear = 0, tFar = maxT;
    auto clipAxis = [&](float origin, float direction, float extent) {
        if (std::fabs(direction) < tiny) return origin >= 0 && origin < extent;
        float t1 = -origin / direction, t2 = (extent - origin) / direction;
        tNear = std::max(tNear, std::min(t1, t2));
        tFar = std::min(tFar, std::max(t1, t2));
        return tNear < tFar;
    };
    if (!clipAxis(o.x, d.x, ts * view.columns) || !clipAxis(o.z, d.z, ts * view.rows)) return;

    auto startCell = [&](float coordinate, int32_t count) {
        float cell = std::floor(coordinate / ts);
        return cell > 0 ? (cell < count - 1 ? int32_t(cell) : count - 1) : 0;
    };
    int32_t c = startCell(o.x + d.x * tNear, view.columns), r = startCell(o.z + d.z * tNear, view.rows);
    const int32_t stepC = d.x > 0 ? 1 : -1, stepR = d.z > 0 ? 1 : -1;
    auto axisStep = [&](float direction) {
        return std::fabs(direction) < tiny ? FLT_MAX : ts / std::fabs(direction);
    };
    auto firstBoundary = [&](int32_t cell, float origin, float direction) {
        return std::fabs(direction) < tiny ? FLT_MAX
                                           : ((cell + (direction > 0 ? 1 : 0)) * ts - origin) / direction;
    };
    const float deltaX = axisStep(d.x), deltaZ = axisStep(d.z);
    float nextX = firstBoundary(c, o.x, d.x), nextZ = firstBoundary(r, o.z, d.z);
    float tEnter = tNear;
    // A straight line crosses at most rows + columns cells of the map.
    for (int32_t left = view.rows + view.columns + 2; left > 0; --left) {
        float tExit = std::max(std::min(nextX, nextZ), tEnter);
        if (!visit(view.cells[size_t(r) * size_t(view.columns) + size_t(c)], r, c, tEnter, tExit)) return;
        if (tExit >= tFar) return;
        if (nextX < nextZ) {
            c += stepC, tEnter = nextX, nextX += deltaX;
        } else {
            r += stepR, tEnter = nextZ, nextZ += deltaZ;
        }
        if (c < 0 || r < 0 || c >= view.columns || r >= view.rows) return;
    }
}

// trunc(x) with its low 8 bits kept; out-of-range values saturate first.
uint8_t lowByte(double x) {
    if (!(x > -2147483648.0)) return 0;
    if (!(x < 2147483647.0)) return 255;
    return uint8_t(int32_t(x) & 0xFF);
}

float fogFactor(float distance, float edge, float range) {
    float f = distance * edge / range;
    return f < 1 ? (f > 0 ? f : 0) : 1; // NaN, from a zero range, counts as full fog
}

struct Layer {
    uint8_t r, g, b;
    float opacity;
    float distance;
};

thread_local std::vector<Layer> transparentLayersTL;

struct RayFrame {
    const SceneView& view;
    const std::vector<LightSource>& lights;
    float minLevel, maxLevel;
    float range;
    float reflectionWeight;
    int32_t maxDepth;
};

void lightLevel(const RayFrame& frame, Vec3 p, Vec3 normal, float level[3]) {
    level[0] = level[1] = level[2] = frame.minLevel;
    const Vec3 lifted = p + normal * surfaceLift;
    for (const LightSource& light : frame.lights) {
        Vec3 toLight = Vec3{light.x, light.y, light.z} - p;
        float d2 = dot(toLight, toLight);
        if (d2 > light.intensity * light.intensity) continue;
        float d = std::sqrt(d2);
        Vec3 target = Vec3{light.x, light.y, light.z} + (d > 0 ? toLight * (tiny / d) : Vec3{});
        Vec3 tint{1, 1, 1};
        if (isObstructed(frame.view, lifted, target, tint)) continue;
        float weight = 1 - d / light.intensity;
        level[0] += weight * light.r * tint.x;
        level[1] += weight * light.g * tint.y;
        level[2] += weight * light.b * tint.z;
    }
    for (int i = 0; i < 3; ++i) level[i] = std::min(level[i], frame.maxLevel);
}

// The colour seen along one primary ray, with the edge factor of its pixel.
void traceRay(const RayFrame& frame, Vec3 o, Vec3 d, float edge, uint8_t out[3]) {
    std::vector<Layer>& layers = transparentLayersTL;
    if (layers.capacity() < 8) layers.reserve(8);
    layers.clear();
    const float* fog = frame.view.fog;
    float base[3] = {fog[0], fog[1], fog[2]};
    float baseDistance = -1; // none: nothing opaque was met
    float travelled = 0, transmitted = 1;
    int32_t depth = 0;
    bool reflected = true;
    while (reflected) {
        reflected = false;
        float tMin = 0; // kept across cells, so that a surface on a cell side counts once
        const Ray ray(o, d);
        walkCells(frame.view, o, d, frame.range - travelled,
                  [&](const MapCell& cell, int32_t r, int32_t c, float tEnter, float tExit) {
                      for (;;) {
                          Hit hit = nearestHit(frame.view, cell, r, c, ray, tEnter, tExit, tMin, true);
                          if (!hit.found()) return true;
                          tMin = hit.t;
                          Texel texel = sampleHit(frame.view, hit);
                          if (texel.a == 0) continue;
                          Vec3 p = o + d * hit.t;
                          float level[3];
                          lightLevel(frame, p, hit.normal, level);
                          float shaded[3] = {float(lowByte(texel.r * level[0])),
                                             float(lowByte(texel.g * level[1])),
                                             float(lowByte(texel.b * level[2]))};
                          float distance = travelled + hit.t;
                          float opacity = texel.a / 255.0f;
                          bool reflects = texel.reflection > 0 && depth < frame.maxDepth;
                          if (reflects)
                              opacity = clamp01(1 - texel.reflection / 255.0f * frame.reflectionWeight);
                          if (opacity >= 1 && !reflects) {
                              std::copy(shaded, shaded + 3, base);
                              baseDistance = distance;
                              return false;
                          }
                          layers.push_back({uint8_t(shaded[0]), uint8_t(shaded[1]), uint8_t(shaded[2]),
                                            opacity, distance});
                          transmitted *= 1 - opacity;
                          if (1 - transmitted >= opaqueEnough) return false;
                          if (reflects) {
                              o = p + hit.normal * surfaceLift;
                              d = d - hit.normal * (2 * dot(d, hit.normal));
                              travelled = distance;
                              ++depth;
                              reflected = true;
                              return false;
                          }
                      }
                  });
    }

    float result[3] = {base[0], base[1], base[2]};
    for (auto layer = layers.rbegin(); layer != layers.rend(); ++layer) {
        float f = fogFactor(layer->distance, edge, frame.range);
        const float colour[3] = {float(layer->r), float(layer->g), float(layer->b)};
        for (int i = 0; i < 3; ++i) {
            float fogged = colour[i] * (1 - f) + fog[i] * f;
            result[i] = std::clamp(result[i] * (1 - layer->opacity) + fogged * layer->opacity, 0.0f, 255.0f);
        }
    }
    float f = baseDistance >= 0 ? fogFactor(baseDistance, edge, frame.range) : 0.0f;
    for (int i = 0; i < 3; ++i) out[i] = uint8_t(std::clamp(result[i] * (1 - f) + fog[i] * f, 0.0f, 255.0f));
}

} // namespace

bool isObstructed(const SceneView& view, Vec3 from, Vec3 to, Vec3& tint) {
    Vec3 delta = to - from;
    float length = std::sqrt(dot(delta, delta));
    if (!(length > 0)) return false;
    Vec3 d = delta * (1 / length);
    bool blocked = false;
    float tMin = 0;
    const Ray ray(from, d);
    walkCells(
        view, from, d, length, [&](const MapCell& cell, int32_t r, int32_t c, float tEnter, float tExit) {
            for (;;) {
                Hit hit = nearestHit(view, cell, r, c, ray, tEnter, std::min(tExit, length), tMin, false);
                if (!hit.found() || hit.t >= length) return true;
                tMin = hit.t;
                Texel texel = sampleHit(view, hit);
                if (texel.a == 255) {
                    blocked = true;
                    return false;
                }
                float opacity = texel.a / 255.0f;
                tint.x *= texel.r / 255.0f * opacity;
                tint.y *= texel.g / 255.0f * opacity;
                tint.z *= texel.b / 255.0f * opacity;
            }
        });
    return blocked;
}

void renderScene(float px, float py, float angle, float tilt, const IntGrid& wallGrid,
                 const IntGrid& roofGrid, const IntGrid& floorGrid, const IntGrid& floorsOffGrid,
                 const IntGrid& roofsOffGrid, const std::vector<TesselImage*>& textureList,
                 TesselImage* output, const std::vector<LightSource>& lightList, float minLevel,
                 float maxLevel) {
    if (!hasPixels(output)) return;
    static SceneView view; // its buffers are kept from frame to frame
    buildSceneView(view, wallGrid, roofGrid, floorGrid, floorsOffGrid, roofsOffGrid, textureList, true);
    const RayFrame frame{view, lightList, minLevel, maxLevel, maxDistance, reflectionIntensity, maxRaytrace};
    const CameraBasis camera = cameraBasis(angle, tilt);
    const Vec3 origin{px, cameraHeight(view, floorsOffGrid, px, py), py};
    const int32_t width = output->width, height = output->height;
    const float horizontal = hFOV, vertical = float(height) / float(width) * hFOV;
    const int32_t block = std::clamp(step, 1, std::max(width, height));
    uint8_t* pixels = output->pixels.get();

    auto renderRows = [&](int32_t yBegin, int32_t yEnd) {
        for (int32_t y = yBegin; y < yEnd; y += block) {
            float ndcY = 2.0f * y / height - 1;
            for (int32_t x = 0; x < width; x += block) {
                float ndcX = 2.0f * x / width - 1;
                Vec3 d = normalised(camera.forward + camera.right * (horizontal * ndcX) +
                                    camera.up * (vertical * ndcY));
                float edge = 1 + 1.5f * 0.70710677f * std::sqrt(ndcX * ndcX + ndcY * ndcY);
                uint8_t colour[3];
                traceRay(frame, origin, d, edge, colour);
                for (int32_t by = y; by < std::min(y + block, height); ++by)
                    for (int32_t bx = x; bx < std::min(x + block, width); ++bx) {
                        uint8_t* p = pixels + (size_t(by) * size_t(width) + size_t(bx)) * 4;
                        p[0] = colour[0], p[1] = colour[1], p[2] = colour[2], p[3] = 255;
                    }
            }
        }
    };

    const int32_t blockRows = (height + block - 1) / block;
    const int32_t perWorker =
        AllowedThreads < 2 ? blockRows : (blockRows + AllowedThreads - 1) / AllowedThreads;
    const int32_t workers = (blockRows + perWorker - 1) / perWorker;
    runBands(workers, [&](int32_t i) {
        int32_t begin = i * perWorker * block;
        int32_t end = std::min(blockRows, (i + 1) * perWorker) * block;
        renderRows(begin, std::min(end, height));
    });
}

void raycastCurrentScene(TesselImage* output) {
    renderScene(playerx, playery, cameraangle, cameratilt, walls, roofs, floors, floorsOff, roofsOff,
                textures, output, lights, minBright, maxBright);
}
