// The 3D view's pictures, read pixel by pixel: small scenes whose colours
// and wall positions follow from the camera geometry by hand, both renderers
// on the benchmark scene, and the threaded ray caster against the serial one.
#include "Projection.h"
#include "Raycast.h"
#include "Scene.h"
#include "png.h"
#include "render_scene.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>

namespace {

using Rgb = std::array<int, 3>;

TesselImage* solid(int32_t w, int32_t h, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
    TesselImage* image = createLiveImage(w, h);
    for (int32_t i = 0; i < w * h; ++i) {
        uint8_t* p = image->pixels.get() + size_t(i) * 4;
        p[0] = r, p[1] = g, p[2] = b, p[3] = a;
    }
    return image;
}

Rgb pixel(const TesselImage* image, int32_t x, int32_t y) {
    const uint8_t* p = image->pixels.get() + (size_t(y) * size_t(image->width) + size_t(x)) * 4;
    return {p[0], p[1], p[2]};
}

const Rgb wallColour{200, 100, 50}, overheadColour{10, 200, 10}, groundColour{10, 10, 200};

// One row of five cells, the camera in cell 1 looking along +X at a wall in
// cell 3 whose near side is 24 units ahead; every open cell has both planes.
// Texture 1 is the wall, 2 the floor plane (overhead), 3 the roof plane.
class SmallScene : public ::testing::Test {
  protected:
    void SetUp() override {
        tileSize = 16, playerx = 24, playery = 8, cameraangle = 0, cameratilt = 0, cameraHeightOffset = 6;
        hFOV = 1.5708f, maxDistance = 1e30f, step = 1, minBright = maxBright = 1;
        fogR = 0, fogG = 0, fogB = 255, maxRaytrace = 2, reflectionIntensity = 0.15f;
        walls = {{0, 0, 0, 1, 0}};
        floors = {{2, 2, 2, 0, 2}}, roofs = {{3, 3, 3, 0, 3}};
        floorsOff = roofsOff = {{0, 0, 0, 0, 0}};
        textures = {nullptr, solid(4, 4, 200, 100, 50), solid(4, 4, 10, 200, 10), solid(4, 4, 10, 10, 200)};
        faces.clear();
        buildQuadGrid(1, 5, tileSize);
        lights.clear();
        out = createLiveImage(64, 64);
    }
    void TearDown() override {
        for (TesselImage* t : textures) destroyLiveImage(t);
        textures.clear();
        destroyLiveImage(out);
        step = 4, AllowedThreads = 6;
    }
    TesselImage* out = nullptr;
};

// The wall's side at X = 48 spans Y 0..16 between the neighbouring planes; the
// eye is at Y 10, so in the middle column it covers rows from
// 32 + 32 (0 - 10) / (24 hFOV) = 23.5 to 32 + 32 (16 - 10) / (24 hFOV) = 37.1.
TEST_F(SmallScene, WallFloorAndRoofLieWhereTheGeometrySays) {
    for (auto render : {raycastCurrentScene, projectCurrentScene}) {
        render(out);
        const std::pair<int32_t, Rgb> column[] = {
            {0, overheadColour}, {23, overheadColour}, {24, wallColour},  {32, wallColour},
            {37, wallColour},    {38, groundColour},   {63, groundColour}};
        for (const auto& [y, colour] : column) EXPECT_EQ(pixel(out, 32, y), colour) << "row " << y;
    }
}

// Cell 2 is sunken by 8, cell 4 is the wall. A ray that reaches X = 48 between
// Y 16 and 24 meets the face where cell 3's ground juts up (rows 38 to 43 in
// the middle column); steeper rays end on the sunken ground, flatter ones on
// cell 3's ground.
TEST_F(SmallScene, StepFacesCloseTheSidesOfASunkenCell) {
    walls = {{0, 0, 0, 0, 1}};
    roofs = {{3, 3, 3, 4, 0}};
    floorsOff = {{0, 0, 8, 0, 0}};
    textures.push_back(solid(4, 4, 255, 255, 0));
    const Rgb yellow{255, 255, 0};
    for (auto render : {raycastCurrentScene, projectCurrentScene}) {
        render(out);
        for (auto [y, colour] : {std::pair{36, yellow}, {38, yellow}, {43, yellow}, {45, groundColour}})
            EXPECT_EQ(pixel(out, 32, y), colour) << "row " << y;
    }
}

TEST_F(SmallScene, FogGrowsWithDistanceAndTowardTheEdges) {
    maxDistance = 96;                 // the middle ray meets the wall at 24: f = 0.25
    fogR = 300, fogG = 20, fogB = -5; // limited to 0..255
    raycastCurrentScene(out);
    EXPECT_EQ(pixel(out, 32, 32), (Rgb{int(200 * 0.75f + 255 * 0.25f), int(100 * 0.75f + 20 * 0.25f), 37}));
    walls = {{0}}, floors = roofs = {{0}}; // nothing to meet: all fog
    raycastCurrentScene(out);
    EXPECT_EQ(pixel(out, 5, 60), (Rgb{255, 20, 0}));
}

TEST_F(SmallScene, LightsBrightenAndWallsCastShadows) {
    minBright = 0.25f;
    spawnLight(40, 8, 6, 255, 255, 255, 32); // 8 before the wall's middle: weight 0.75
    raycastCurrentScene(out);
    EXPECT_EQ(pixel(out, 32, 32), wallColour);
    lights.clear();
    spawnLight(72, 8, 6, 255, 255, 255, 32); // behind the wall: in range, but blocked
    raycastCurrentScene(out);
    EXPECT_EQ(pixel(out, 32, 32), (Rgb{50, 25, 12}));
}

TEST_F(SmallScene, SemiTransparentQuadTintsTheWallBehind) {
    textures.push_back(solid(4, 4, 0, 0, 255, 128));
    faces = {makeQuad({40, 0, 0}, {40, 0, 16}, {40, 16, 16}, {40, 16, 0}, 4)};
    buildQuadGrid(1, 5, tileSize);
    raycastCurrentScene(out);
    float a = 128 / 255.0f;
    EXPECT_EQ(pixel(out, 32, 32), (Rgb{int(200 * (1 - a)), int(100 * (1 - a)), int(50 * (1 - a) + 255 * a)}));
}

TEST_F(SmallScene, MirrorShowsTheWallBehindTheCamera) {
    walls = {{5, 0, 0, 1, 0}};
    textures.push_back(solid(4, 4, 250, 250, 250));
    textures.push_back(solid(4, 4, 0, 0, 0));
    textures[1]->reflectionWidth = textures[1]->reflectionHeight = 1;
    textures[1]->reflectionPixels.reset(new uint8_t[4]{255, 255, 255, 255});
    reflectionIntensity = 0.5f; // the wall keeps half its colour, the black wall behind shows in the rest
    raycastCurrentScene(out);
    EXPECT_EQ(pixel(out, 32, 32), (Rgb{100, 50, 25}));
    maxRaytrace = 0;
    raycastCurrentScene(out);
    EXPECT_EQ(pixel(out, 32, 32), wallColour);
}

TEST_F(SmallScene, OneRayFillsEachBlockAndEdgeBlocksAreClipped) {
    destroyLiveImage(out);
    out = createLiveImage(21, 13);
    step = 8;
    raycastCurrentScene(out);
    for (int32_t y = 0; y < 13; ++y)
        for (int32_t x = 0; x < 21; ++x) EXPECT_EQ(pixel(out, x, y), pixel(out, x - x % 8, y - y % 8));
    EXPECT_EQ(out->pixels[3], 255);
}

TEST_F(SmallScene, BadMapsGiveAPictureAndNoStrayReads) {
    walls = {{0, 0, 0, 1, 0}, {1}, {}}; // ragged rows count as open cells
    floors = {{2, 2, 99, 0, 2, 7, 7}};  // texture ids beyond the list, rows longer than the map
    roofs = {{}};
    floorsOff = {{1, 2}}, roofsOff = {};
    for (float x : {24.0f, -500.0f, 1e30f, std::nanf("")}) {
        playerx = x;
        for (auto render : {raycastCurrentScene, projectCurrentScene}) {
            std::fill_n(out->pixels.get(), 64 * 64 * 4, 7);
            render(out);
            EXPECT_EQ(out->pixels[3], 255);
        }
    }
    playerx = -40, cameraangle = 0; // outside the map, facing it: the wall is still seen
    raycastCurrentScene(out);
    EXPECT_EQ(pixel(out, 32, 32), wallColour);
}

// The benchmark scene with flat colours: red walls, green floor planes, blue
// roof planes, yellow banners, no lights and no fog, so that each pixel says
// what it shows.
void flattenScene() {
    bench::destroyScene();
    const Rgb flat[9] = {{0, 0, 0},     {255, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255},
                         {255, 255, 0}, {255, 0, 0}, {0, 0, 255}, {255, 0, 0}};
    for (int32_t n = 1; n <= 8; ++n)
        textures.push_back(solid(2, 2, uint8_t(flat[n][0]), uint8_t(flat[n][1]), uint8_t(flat[n][2])));
    minBright = maxBright = 1, maxDistance = 1e30f;
}

// Puts the camera at point `i` of the benchmark path.
void standAt(int32_t i) {
    float x, z, angle;
    bench::pathPoint(i, x, z, angle);
    playerx = x, playery = z, cameraangle = angle;
}

bool isWall(const Rgb& c) {
    return c[0] > 128 && c[1] < 128 && c[2] < 128;
}

TEST(BenchScene, PicturesAreDrawnAndBothRenderersAgreeOnTheWalls) {
    bench::buildScene();
    step = 1;
    TesselImage* ray = createLiveImage(480, 272);
    TesselImage* poly = createLiveImage(480, 272);
    for (int32_t i : {0, 17, 41}) {
        standAt(i);
        raycastCurrentScene(ray);
        projectCurrentScene(poly);
        std::string name = std::string(BV_RENDER_PICTURES) + "/bench_scene_" + std::to_string(i);
        for (auto [picture, kind] : {std::pair{ray, "_raycast.png"}, {poly, "_projection.png"}})
            ASSERT_TRUE(bv::png::save_rgba8_file((name + kind).c_str(), picture->pixels.get(), 480, 272));
        std::set<Rgb> colours;
        for (int32_t y = 0; y < 272; y += 3)
            for (int32_t x = 0; x < 480; x += 3)
                colours.insert(pixel(ray, x, y)), colours.insert(pixel(poly, x, y));
        EXPECT_GT(colours.size(), 100u);
    }
    flattenScene();
    for (int32_t i = 0; i < bench::pathLength; i += 7) {
        standAt(i);
        raycastCurrentScene(ray);
        projectCurrentScene(poly);
        int32_t differ = 0, wallPixels = 0;
        for (int32_t y = 0; y < 272; ++y)
            for (int32_t x = 0; x < 480; ++x) {
                bool a = isWall(pixel(ray, x, y)), b = isWall(pixel(poly, x, y));
                differ += a != b;
                wallPixels += a;
            }
        EXPECT_GT(wallPixels, 480 * 272 / 20) << "position " << i;
        EXPECT_LT(differ, 480 * 272 / 100) << "position " << i;
    }
    destroyLiveImage(ray);
    destroyLiveImage(poly);
    bench::destroyScene();
    step = 4;
}

TEST(BenchScene, OneThreadAndSixDrawTheSameFrame) {
    bench::buildScene();
    step = 2;
    TesselImage* serial = createLiveImage(240, 136);
    TesselImage* threaded = createLiveImage(240, 136);
    for (int32_t i : {3, 30}) {
        standAt(i);
        AllowedThreads = 1;
        raycastCurrentScene(serial);
        AllowedThreads = 6;
        raycastCurrentScene(threaded);
        EXPECT_TRUE(
            std::equal(serial->pixels.get(), serial->pixels.get() + 240 * 136 * 4, threaded->pixels.get()));
    }
    destroyLiveImage(serial);
    destroyLiveImage(threaded);
    bench::destroyScene();
    step = 4;
}

} // namespace
