// The projection renderer: every visible wall side, floor and roof plane and
// step face of the map and every free-standing quad, transformed into camera
// space, clipped at the near plane, projected and drawn with a depth buffer.
// Also the projections scripts use for their own drawing.
#pragma once

#include "SceneView.h"

#include <cstddef>
#include <vector>

// Renders into `output` (nothing for null or a record without pixels); the
// grids come in the same order as for renderScene. Runs on the calling thread.
void renderProjectionScene(float px, float py, float angle, float tilt, const IntGrid& wallGrid,
                           const IntGrid& roofGrid, const IntGrid& floorGrid, const IntGrid& floorsOffGrid,
                           const IntGrid& roofsOffGrid, const std::vector<TesselImage*>& textureList,
                           const std::vector<Quad>& quadList, TesselImage* output);

// Renders the scene globals into `output`, as Tessel.projection does.
void projectCurrentScene(TesselImage* output);

// Tessel.project: the screen offsets of point (x, y, z) seen from the camera
// with focal length `focus`; leaves the camera-space point in tmpX, tmpY, tmpZ.
struct ScreenOffset {
    double x = 0, y = 0;
};
ScreenOffset projectPoint(int32_t x, int32_t y, int32_t z, int32_t focus);

// Tessel.sortVertex: the indices of the quads that lie wholly in front of the
// camera and face it, farthest first (by the mean depth of their corners).
struct QuadCorners {
    Vec3 topleft, topright, bottomleft, bottomright;
};
struct FreeCamera {
    float x = 0, y = 0, z = 0;
    float yaw = 0, tilt = 0, roll = 0;
};
std::vector<size_t> sortVertexOrder(const std::vector<QuadCorners>& quads, const FreeCamera& camera);
