// The ray caster: one ray per step x step block of the output, walked
// through the tile map cell by cell, lit by the point lights with shadow rays,
// seen through semi-transparent texels and reflections, fogged with distance.
#pragma once

#include "SceneView.h"

// Renders into `output` (nothing for null or a record without pixels). The
// grids come in the order floorsOff, roofsOff: the fourth grid sets the roof
// plane's offset and the camera's, the fifth the floor plane's.
void renderScene(float px, float py, float angle, float tilt, const IntGrid& wallGrid,
                 const IntGrid& roofGrid, const IntGrid& floorGrid, const IntGrid& floorsOffGrid,
                 const IntGrid& roofsOffGrid, const std::vector<TesselImage*>& textureList,
                 TesselImage* output, const std::vector<LightSource>& lightList, float minLevel,
                 float maxLevel);

// Renders the scene globals (camera, grids, textures, lights) into `output`,
// as Tessel.raycast does.
void raycastCurrentScene(TesselImage* output);

// Whether opaque map geometry blocks the segment from `from` to `to`.
// Semi-transparent texels on the way multiply `tint` (light let through, per
// channel) by their colour weighted by their opacity.
bool isObstructed(const SceneView& view, Vec3 from, Vec3 to, Vec3& tint);
