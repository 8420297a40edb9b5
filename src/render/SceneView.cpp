#include "SceneView.h"

#include <algorithm>
#include <cmath>

namespace {

TextureView viewOf(const TesselImage* image) {
    TextureView view;
    if (!isLiveImage(image) || !hasPixels(image)) return view;
    view.pixels = image->pixels.get();
    view.width = image->width, view.height = image->height;
    if (image->reflectionPixels && image->reflectionWidth > 0 && image->reflectionHeight > 0) {
        view.reflection = image->reflectionPixels.get();
        view.reflectionWidth = image->reflectionWidth, view.reflectionHeight = image->reflectionHeight;
    }
    return view;
}

} // namespace

Texel missingTexel(float u, float v) {
    bool odd = (wrapIndex(u * 8, 8) + wrapIndex(v * 8, 8)) & 1;
    return odd ? Texel{0, 0, 0, 255, 0} : Texel{255, 0, 255, 255, 0};
}

StepFace stepFace(const MapCell& a, const MapCell& b, bool roofPlanes) {
    int32_t ta = roofPlanes ? a.roof : a.floor, tb = roofPlanes ? b.roof : b.floor;
    float ya = roofPlanes ? a.roofY : a.floorY, yb = roofPlanes ? b.roofY : b.floorY;
    if (ta <= 0 || tb <= 0 || !(std::fabs(ya - yb) >= 0.001f)) return {};
    // A lower floor plane (overhead) juts down, a higher roof plane (underfoot) juts up.
    bool aJuts = roofPlanes ? ya < yb : ya > yb;
    return {std::min(ya, yb), std::max(ya, yb), aJuts ? ta : tb};
}

int32_t gridValue(const IntGrid& grid, int32_t row, int32_t column) {
    if (row < 0 || column < 0 || size_t(row) >= grid.size() || size_t(column) >= grid[size_t(row)].size())
        return 0;
    return grid[size_t(row)][size_t(column)];
}

void cellOf(const SceneView& view, float x, float z, int32_t& row, int32_t& column) {
    double c = std::floor(double(x) / view.tileSize), r = std::floor(double(z) / view.tileSize);
    bool inside = c >= 0 && r >= 0 && c < view.columns && r < view.rows;
    row = inside ? int32_t(r) : -1;
    column = inside ? int32_t(c) : -1;
}

void buildSceneView(SceneView& view, const IntGrid& wallGrid, const IntGrid& roofGrid,
                    const IntGrid& floorGrid, const IntGrid& belowGrid, const IntGrid& aboveGrid,
                    const std::vector<TesselImage*>& textureList, bool withQuads) {
    view.rows = int32_t(wallGrid.size());
    view.columns = wallGrid.empty() ? 0 : int32_t(wallGrid[0].size());
    if (view.columns == 0) view.rows = 0;
    view.tileSize = tileSize;
    const float fog[3] = {fogR, fogG, fogB};
    for (int i = 0; i < 3; ++i) view.fog[i] = fog[i] > 0 ? std::min(fog[i], 255.0f) : 0.0f;
    view.textures.resize(textureList.size());
    for (size_t i = 0; i < textureList.size(); ++i) view.textures[i] = viewOf(textureList[i]);

    // Quads only count when the grid still describes this map and these quads.
    bool gridFits = withQuads && quadGrid.size() == size_t(view.rows) &&
                    std::all_of(quadGrid.begin(), quadGrid.end(),
                                [&](const auto& row) { return row.size() == size_t(view.columns); });
    view.quads = faces.data();
    view.quadIndices.clear();
    view.cells.resize(size_t(view.rows) * size_t(view.columns));
    for (int32_t r = 0; r < view.rows; ++r)
        for (int32_t c = 0; c < view.columns; ++c) {
            MapCell& cell = view.cells[size_t(r) * size_t(view.columns) + size_t(c)];
            cell.wall = gridValue(wallGrid, r, c);
            cell.floor = gridValue(floorGrid, r, c);
            cell.roof = gridValue(roofGrid, r, c);
            cell.floorY = cell.floor > 0 ? -float(gridValue(aboveGrid, r, c)) : 0.0f;
            cell.roofY = cell.roof > 0 ? tileSize + float(gridValue(belowGrid, r, c)) : tileSize;
            cell.quadBegin = uint32_t(view.quadIndices.size());
            if (gridFits)
                for (int32_t q : quadGrid[size_t(r)][size_t(c)])
                    if (q >= 0 && size_t(q) < faces.size()) view.quadIndices.push_back(q);
            cell.quadEnd = uint32_t(view.quadIndices.size());
        }
}

CameraBasis cameraBasis(float angle, float tilt) {
    float ca = std::cos(angle), sa = std::sin(angle), ct = std::cos(tilt), st = std::sin(tilt);
    return {{ca * ct, st, sa * ct}, {-sa, 0, ca}, {-ca * st, ct, -sa * st}};
}

float cameraHeight(const SceneView& view, const IntGrid& belowGrid, float x, float z) {
    int32_t row, column;
    cellOf(view, x, z, row, column);
    return view.tileSize + float(gridValue(belowGrid, row, column)) - cameraHeightOffset;
}
