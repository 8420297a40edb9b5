#include "Projection.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

constexpr float nearPlane = 0.02f;

// A polygon corner in world space with its texture fractions.
struct Corner {
    Vec3 p;
    float u = 0, v = 0;
};

// A corner in camera space, then on screen with its perspective-divided attributes.
struct CameraCorner {
    float depth, lateral, vertical, u, v;
};
struct ScreenCorner {
    float x, y, invDepth, uOverDepth, vOverDepth;
};

class Rasteriser {
  public:
    Rasteriser(const SceneView& view, TesselImage& output, std::vector<float>& depth,
               const CameraBasis& camera, Vec3 eye)
        : view_(view), pixels_(output.pixels.get()), depth_(depth.data()), width_(output.width),
          height_(output.height), camera_(camera), eye_(eye), horizontal_(std::max(hFOV, 0.0001f)),
          vertical_(std::max(float(output.height) / float(output.width) * hFOV, 0.0001f)) {}

    // Draws a convex polygon of up to four corners; wall sides take their
    // texture fractions limited to 0..1, as the ray caster's do.
    void draw(const Corner* corners, int count, int32_t texture, bool clamped) {
        CameraCorner inFront[8];
        int n = clipToNearPlane(corners, count, inFront);
        if (n < 3) return;
        ScreenCorner screen[8];
        for (int i = 0; i < n; ++i) {
            const CameraCorner& c = inFront[i];
            float inv = 1 / c.depth;
            screen[i] = {((c.lateral * inv) / horizontal_ + 1) * 0.5f * width_,
                         ((c.vertical * inv) / vertical_ + 1) * 0.5f * height_, inv, c.u * inv, c.v * inv};
            if (!std::isfinite(screen[i].x) || !std::isfinite(screen[i].y)) return;
        }
        fill(screen, n, texture, clamped);
    }

  private:
    CameraCorner toCamera(const Corner& corner) const {
        Vec3 rel = corner.p - eye_;
        return {dot(rel, camera_.forward), dot(rel, camera_.right), dot(rel, camera_.up), corner.u, corner.v};
    }

    // Keeps the part of the polygon at depth >= nearPlane.
    int clipToNearPlane(const Corner* corners, int count, CameraCorner* out) const {
        int n = 0;
        for (int i = 0; i < count; ++i) {
            CameraCorner a = toCamera(corners[i]), b = toCamera(corners[(i + 1) % count]);
            if (a.depth >= nearPlane) out[n++] = a;
            if ((a.depth >= nearPlane) != (b.depth >= nearPlane)) {
                float t = (nearPlane - a.depth) / (b.depth - a.depth);
                out[n++] = {nearPlane, a.lateral + (b.lateral - a.lateral) * t,
                            a.vertical + (b.vertical - a.vertical) * t, a.u + (b.u - a.u) * t,
                            a.v + (b.v - a.v) * t};
            }
        }
        return n;
    }

    // Scanline fill: pixel (x, y) is covered when the point (x, y) lies
    // inside, the sampling point of the ray caster's blocks too.
    void fill(const ScreenCorner* s, int n, int32_t texture, bool clamped) {
        float top = s[0].y, bottom = s[0].y;
        for (int i = 1; i < n; ++i) top = std::min(top, s[i].y), bottom = std::max(bottom, s[i].y);
        int32_t yBegin = int32_t(std::clamp(std::ceil(top), 0.0f, float(height_)));
        int32_t yEnd = int32_t(std::clamp(std::ceil(bottom), 0.0f, float(height_)));
        for (int32_t y = yBegin; y < yEnd; ++y) {
            ScreenCorner left{}, right{};
            bool any = false;
            for (int i = 0; i < n; ++i) {
                const ScreenCorner &a = s[i], &b = s[(i + 1) % n];
                if (!((a.y <= y && y < b.y) || (b.y <= y && y < a.y))) continue;
                float t = (y - a.y) / (b.y - a.y);
                ScreenCorner e{a.x + (b.x - a.x) * t, float(y), a.invDepth + (b.invDepth - a.invDepth) * t,
                               a.uOverDepth + (b.uOverDepth - a.uOverDepth) * t,
                               a.vOverDepth + (b.vOverDepth - a.vOverDepth) * t};
                if (!any || e.x < left.x) left = e;
                if (!any || e.x > right.x) right = e;
                any = true;
            }
            if (any) span(y, left, right, texture, clamped);
        }
    }

    void span(int32_t y, const ScreenCorner& left, const ScreenCorner& right, int32_t texture, bool clamped) {
        int32_t xBegin = int32_t(std::clamp(std::ceil(left.x), 0.0f, float(width_)));
        int32_t xEnd = int32_t(std::clamp(std::ceil(right.x), 0.0f, float(width_)));
        if (xBegin >= xEnd) return;
        float dx = right.x - left.x;
        float stepInv = dx > 0 ? (right.invDepth - left.invDepth) / dx : 0;
        float stepU = dx > 0 ? (right.uOverDepth - left.uOverDepth) / dx : 0;
        float stepV = dx > 0 ? (right.vOverDepth - left.vOverDepth) / dx : 0;
        float offset = xBegin - left.x;
        float inv = left.invDepth + stepInv * offset, uz = left.uOverDepth + stepU * offset,
              vz = left.vOverDepth + stepV * offset;
        size_t index = size_t(y) * size_t(width_) + size_t(xBegin);
        for (int32_t x = xBegin; x < xEnd; ++x, ++index, inv += stepInv, uz += stepU, vz += stepV) {
            float depth = 1 / inv;
            if (!(depth < depth_[index])) continue;
            float u = uz * depth, v = vz * depth;
            if (clamped) u = std::clamp(u, 0.0f, 1.0f), v = std::clamp(v, 0.0f, 1.0f);
            Texel texel = view_.sample(texture, u, v);
            if (texel.a == 0) continue;
            uint8_t* p = pixels_ + index * 4;
            if (texel.a == 255) {
                p[0] = texel.r, p[1] = texel.g, p[2] = texel.b, p[3] = 255;
                depth_[index] = depth;
                continue;
            }
            // Semi-transparent texels blend over what is drawn and leave the depth alone.
            float alpha = texel.a / 255.0f;
            p[0] = uint8_t(p[0] + (texel.r - p[0]) * alpha);
            p[1] = uint8_t(p[1] + (texel.g - p[1]) * alpha);
            p[2] = uint8_t(p[2] + (texel.b - p[2]) * alpha);
        }
    }

    const SceneView& view_;
    uint8_t* pixels_;
    float* depth_;
    int32_t width_, height_;
    CameraBasis camera_;
    Vec3 eye_;
    float horizontal_, vertical_;
};

// One vertical face on the plane `fixed` of axis X (alongX false) or Z
// (alongX true), spanning [lo, lo + size] along the other axis and [top, bottom] in Y.
void drawSide(Rasteriser& raster, bool alongX, float fixed, float lo, float size, float top, float bottom,
              int32_t texture, bool clamped) {
    auto at = [&](float along, float y) { return alongX ? Vec3{along, y, fixed} : Vec3{fixed, y, along}; };
    Corner corners[4] = {{at(lo, top), 0, top / size},
                         {at(lo + size, top), 1, top / size},
                         {at(lo + size, bottom), 1, bottom / size},
                         {at(lo, bottom), 0, bottom / size}};
    raster.draw(corners, 4, texture, clamped);
}

void drawPlane(Rasteriser& raster, float x0, float z0, float size, float y, int32_t texture) {
    Corner corners[4] = {{{x0, y, z0}, 0, 0},
                         {{x0 + size, y, z0}, 1, 0},
                         {{x0 + size, y, z0 + size}, 1, 1},
                         {{x0, y, z0 + size}, 0, 1}};
    raster.draw(corners, 4, texture, false);
}

// The step faces on the side between two open neighbours.
void drawSteps(Rasteriser& raster, const MapCell& a, const MapCell& b, bool alongX, float fixed, float lo,
               float size) {
    for (bool roofPlanes : {false, true}) {
        StepFace face = stepFace(a, b, roofPlanes);
        if (face.texture)
            drawSide(raster, alongX, fixed, lo, size, face.top, face.bottom, face.texture, false);
    }
}

void drawMap(Rasteriser& raster, const SceneView& view, Vec3 eye) {
    const float ts = view.tileSize;
    for (int32_t r = 0; r < view.rows; ++r)
        for (int32_t c = 0; c < view.columns; ++c) {
            const MapCell& cell = *view.cell(r, c);
            const float x0 = c * ts, z0 = r * ts, x1 = x0 + ts, z1 = z0 + ts;
            if (cell.wall > 0) {
                // Each side facing an open neighbour (or the map's edge) spans the planes seen from there.
                struct Side {
                    const MapCell* next;
                    bool alongX, visible;
                    float fixed, lo;
                } sides[4] = {{view.cell(r - 1, c), true, eye.z < z0, z0, x0},
                              {view.cell(r + 1, c), true, eye.z > z1, z1, x0},
                              {view.cell(r, c - 1), false, eye.x < x0, x0, z0},
                              {view.cell(r, c + 1), false, eye.x > x1, x1, z0}};
                for (const Side& side : sides) {
                    if (!side.visible || (side.next && side.next->wall > 0)) continue;
                    const MapCell& span = side.next ? *side.next : cell;
                    drawSide(raster, side.alongX, side.fixed, side.lo, ts, span.floorY, span.roofY, cell.wall,
                             true);
                }
                continue;
            }
            if (cell.floor > 0) drawPlane(raster, x0, z0, ts, cell.floorY, cell.floor);
            if (cell.roof > 0) drawPlane(raster, x0, z0, ts, cell.roofY, cell.roof);
            const MapCell* east = view.cell(r, c + 1);
            if (east && east->wall <= 0) drawSteps(raster, cell, *east, false, x1, z0, ts);
            const MapCell* south = view.cell(r + 1, c);
            if (south && south->wall <= 0) drawSteps(raster, cell, *south, true, z1, x0, ts);
        }
}

} // namespace

void renderProjectionScene(float px, float py, float angle, float tilt, const IntGrid& wallGrid,
                           const IntGrid& roofGrid, const IntGrid& floorGrid, const IntGrid& floorsOffGrid,
                           const IntGrid& roofsOffGrid, const std::vector<TesselImage*>& textureList,
                           const std::vector<Quad>& quadList, TesselImage* output) {
    if (!hasPixels(output)) return;
    static SceneView view;           // buffers kept from frame to frame
    static std::vector<float> depth; // likewise
    buildSceneView(view, wallGrid, roofGrid, floorGrid, floorsOffGrid, roofsOffGrid, textureList, false);
    const size_t count = size_t(output->width) * size_t(output->height);
    depth.assign(count, std::numeric_limits<float>::infinity());
    const uint8_t fog[4] = {uint8_t(view.fog[0]), uint8_t(view.fog[1]), uint8_t(view.fog[2]), 255};
    for (size_t i = 0; i < count; ++i) std::copy(fog, fog + 4, output->pixels.get() + i * 4);

    const Vec3 eye{px, cameraHeight(view, floorsOffGrid, px, py), py};
    Rasteriser raster(view, *output, depth, cameraBasis(angle, tilt), eye);
    if (view.tileSize > 0) drawMap(raster, view, eye);
    for (const Quad& q : quadList) {
        Corner corners[4] = {{q.tl, 0, 0}, {q.tr, 1, 0}, {q.br, 1, 1}, {q.bl, 0, 1}};
        raster.draw(corners, 4, q.texture, false);
    }
}

ScreenOffset projectPoint(int32_t x, int32_t y, int32_t z, int32_t focus) {
    double dx = x - double(playerx), dy = y - double(playery), dz = z - double(cameraHeightOffset);
    double a = cameraangle, t = cameratilt;
    double rx = dx * std::cos(a) - dy * std::sin(a), ry = dx * std::sin(a) + dy * std::cos(a);
    tmpX = float(rx);
    tmpY = float(ry * std::cos(t) - dz * std::sin(t));
    tmpZ = float(ry * std::sin(t) + dz * std::cos(t));
    double s = focus / (tmpZ == 0 ? 0.0001 : double(tmpZ));
    return {rx * s, double(tmpY) * s};
}

std::vector<size_t> sortVertexOrder(const std::vector<QuadCorners>& quads, const FreeCamera& camera) {
    const double cy = std::cos(camera.yaw), sy = std::sin(camera.yaw), ct = std::cos(camera.tilt),
                 st = std::sin(camera.tilt), cr = std::cos(camera.roll), sr = std::sin(camera.roll);
    // Camera space: x to the right, y up, z the depth ahead.
    auto toCamera = [&](Vec3 p) {
        double x = p.x - camera.x, y = p.y - camera.y, z = p.z - camera.z;
        double x1 = x * cy - z * sy, z1 = x * sy + z * cy;
        double y2 = y * ct - z1 * st, z2 = y * st + z1 * ct;
        return std::array<double, 3>{x1 * cr - y2 * sr, x1 * sr + y2 * cr, z2};
    };
    std::vector<size_t> order;
    std::vector<double> keys(quads.size());
    for (size_t i = 0; i < quads.size(); ++i) {
        const QuadCorners& q = quads[i];
        // Clockwise on screen, as seen from the front.
        std::array<double, 3> c[4] = {toCamera(q.topleft), toCamera(q.topright), toCamera(q.bottomright),
                                      toCamera(q.bottomleft)};
        double nearest = std::min({c[0][2], c[1][2], c[2][2], c[3][2]});
        if (!(nearest > 0)) continue;
        double area = 0;
        for (int k = 0; k < 4; ++k) {
            const auto &a = c[k], &b = c[(k + 1) % 4];
            // Screen y grows downward.
            area += (a[0] / a[2]) * (-b[1] / b[2]) - (b[0] / b[2]) * (-a[1] / a[2]);
        }
        if (!(area > 0)) continue;
        keys[i] = (c[0][2] + c[1][2] + c[2][2] + c[3][2]) * 0.25;
        order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] > keys[b]; });
    return order;
}

void projectCurrentScene(TesselImage* output) {
    renderProjectionScene(playerx, playery, cameraangle, cameratilt, walls, roofs, floors, floorsOff,
                          roofsOff, textures, faces, output);
}
