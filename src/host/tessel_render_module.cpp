// Tessel: the 3D view's bindings. They check arguments, turn script tables
// into the renderer's arrays and forward to src/render.
#include "Projection.h"
#include "Raycast.h"
#include "Scene.h"
#include "modules.h"

namespace {

// Script lists: an array, or a table read through its keys 1, 2, 3 ... up to
// the first one missing. -1 for anything else.
int32_t listLength(const Variable& list) {
    if (list.type == VarType::Array) return int32_t(list.asArray()->size());
    if (list.type == VarType::Table) return list.asTable()->sequenceLength();
    return -1;
}

// Element i (from 1) of a list, or null when it is not there.
const Variable* listElement(const Variable& list, int32_t i) {
    if (list.type == VarType::Array) {
        const ArrayStorage& elements = *list.asArray();
        return i >= 1 && size_t(i) <= elements.size() ? &elements[size_t(i) - 1] : nullptr;
    }
    if (list.type == VarType::Table) return list.asTable()->find(std::to_string(i));
    return nullptr;
}

const std::string setMapName = "Tessel.setMap";

// A grid value or quad coordinate: ints, floats (truncated where an integer
// is wanted) and booleans; anything else fails the whole call.
double mapNumber(const Variable& value, const char* detail) {
    if (!value.isNumeric()) bindingError(setMapName, detail);
    return numericValue(value, setMapName, "value");
}

// A table of integer tables into `grid`; false when a row or element is missing.
bool convertGrid(const Variable& value, IntGrid& grid) {
    grid.clear();
    int32_t rows = listLength(value);
    for (int32_t i = 1; i <= rows; ++i) {
        const Variable* row = listElement(value, i);
        if (!row) return false;
        grid.emplace_back();
        int32_t columns = listLength(*row);
        for (int32_t j = 1; j <= columns; ++j) {
            const Variable* element = listElement(*row, j);
            if (!element) return false;
            grid.back().push_back(truncateToInt(mapNumber(*element, "grid value must be numeric")));
        }
    }
    return true;
}

// [nil, image or nil, ...] into `textures`, whose entry 0 stays null.
bool convertTextures(const Variable& value) {
    textures.assign(1, nullptr);
    int32_t count = listLength(value);
    const Variable* first = listElement(value, 1);
    if (count < 1 || !first || !first->isNone()) return false;
    for (int32_t i = 2; i <= count; ++i) {
        const Variable* element = listElement(value, i);
        if (!element) return false;
        if (element->isNone()) {
            textures.push_back(nullptr);
            continue;
        }
        auto* image =
            element->type == VarType::Pointer ? static_cast<TesselImage*>(element->asPointer()) : nullptr;
        if (!isLiveImage(image)) return false;
        textures.push_back(image);
    }
    return true;
}

// A corner {x, height, z} into world coordinates; false when it is not three values.
bool convertCorner(const TableStorage& quad, const char* key, Vec3& corner) {
    const Variable* found = quad.find(key);
    if (!found || listLength(*found) != 3) return false;
    float c[3];
    for (int32_t i = 0; i < 3; ++i)
        c[i] = float(mapNumber(*listElement(*found, i + 1), "quad coordinate must be numeric"));
    corner = {c[0], tileSize - c[1], c[2]};
    return true;
}

// A list of quad tables into `faces`.
bool convertQuads(const Variable& value) {
    faces.clear();
    int32_t count = listLength(value);
    if (count < 0) return false;
    for (int32_t i = 1; i <= count; ++i) {
        const Variable* element = listElement(value, i);
        if (!element || element->type != VarType::Table) return false;
        const TableStorage& quad = *element->asTable();
        Vec3 tl, tr, br, bl;
        if (!convertCorner(quad, "tl", tl) || !convertCorner(quad, "tr", tr) ||
            !convertCorner(quad, "br", br) || !convertCorner(quad, "bl", bl))
            return false;
        const Variable* texture = quad.find("texture");
        if (!texture) return false;
        faces.push_back(
            makeQuad(tl, tr, br, bl, truncateToInt(numericValue(*texture, setMapName, "texture"))));
    }
    return true;
}

void rebuildQuadGrid() {
    bool anyRow = std::any_of(walls.begin(), walls.end(), [](const auto& row) { return !row.empty(); });
    if (anyRow) buildQuadGrid(mapRows(), mapColumns(), tileSize);
}

Variable setMap(const std::vector<Variable>& args) {
    if (args.size() != 7) bindingError(setMapName, "expected 7 arguments");
    IntGrid* grids[] = {&walls, &roofs, &floors, &roofsOff, &floorsOff};
    const char* gridNames[] = {"1 (walls)", "2 (roofs)", "3 (floors)", "4 (roofsOff)", "5 (floorsOff)"};
    for (int i = 0; i < 5; ++i)
        if (!convertGrid(args[size_t(i)], *grids[i]))
            bindingError(setMapName,
                         std::string("argument ") + gridNames[i] + " must be a table of integer tables");
    if (!convertTextures(args[5]))
        bindingError(setMapName, "argument 6 (textures) must be a table with first element nil, followed by "
                                 "image pointers or nil");
    if (!convertQuads(args[6])) bindingError(setMapName, "argument 7 (quads) must be a table of quad tables");
    rebuildQuadGrid();
    return Variable();
}

Variable setQuads(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.setQuads";
    if (!convertQuads(requireArg(args, 0, fn)))
        bindingError(fn, "argument 1 (quads) must be a table of quad tables");
    rebuildQuadGrid();
    return Variable();
}

// The output image argument: null for nil and for a pointer that is not a live image.
TesselImage* outputArg(const std::vector<Variable>& args, const std::string& fn) {
    auto* image = static_cast<TesselImage*>(pointerValue(requireArg(args, 0, fn), fn, "output"));
    return isLiveImage(image) ? image : nullptr;
}

Variable raycast(const std::vector<Variable>& args) {
    TesselImage* output = outputArg(args, "Tessel.raycast");
    raycastCurrentScene(output);
    return Variable();
}

Variable projection(const std::vector<Variable>& args) {
    TesselImage* output = outputArg(args, "Tessel.projection");
    projectCurrentScene(output);
    return Variable();
}

Variable project(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.project";
    ScreenOffset s = projectPoint(intArg(args, 0, fn, "x"), intArg(args, 1, fn, "y"),
                                  intArg(args, 2, fn, "z"), intArg(args, 3, fn, "focus"));
    return returnValues({Variable(truncateToInt(s.x)), Variable(truncateToInt(s.y))});
}

// A point of three numbers, or false.
bool convertPoint(const Variable* value, Vec3& point) {
    if (!value || listLength(*value) != 3) return false;
    float c[3];
    for (int32_t i = 0; i < 3; ++i) {
        const Variable* element = listElement(*value, i + 1);
        if (!element || !element->isNumeric()) return false;
        c[i] = float(numericValue(*element, "Tessel.sortVertex", "point"));
    }
    point = {c[0], c[1], c[2]};
    return true;
}

Variable sortVertex(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.sortVertex";
    if (args.size() != 7) bindingError(fn, "expected 7 arguments");
    FreeCamera camera;
    camera.x = float(numberArg(args, 1, fn, "camX"));
    camera.y = float(numberArg(args, 2, fn, "camY"));
    camera.z = float(numberArg(args, 3, fn, "camZ"));
    camera.yaw = float(numberArg(args, 4, fn, "yaw"));
    camera.tilt = float(numberArg(args, 5, fn, "tilt"));
    camera.roll = float(numberArg(args, 6, fn, "roll"));
    std::vector<QuadCorners> corners;
    std::vector<const Variable*> values; // the script value behind each entry of corners
    int32_t count = listLength(args[0]);
    for (int32_t i = 1; i <= count; ++i) {
        const Variable* quad = listElement(args[0], i);
        if (!quad || quad->type != VarType::Table) continue;
        const TableStorage& table = *quad->asTable();
        auto corner = [&](const char* key) { return table.find(key); };
        QuadCorners q;
        if (!convertPoint(corner("topleft"), q.topleft) || !convertPoint(corner("topright"), q.topright) ||
            !convertPoint(corner("bottomleft"), q.bottomleft) ||
            !convertPoint(corner("bottomright"), q.bottomright))
            continue;
        corners.push_back(q);
        values.push_back(quad);
    }
    std::vector<Variable> sorted;
    for (size_t index : sortVertexOrder(corners, camera)) sorted.push_back(*values[index]);
    return makeArray(std::move(sorted));
}

Variable setSize(const std::vector<Variable>& args) {
    tileSize = float(numberArg(args, 0, "Tessel.setSize", "tileSize"));
    return Variable();
}

Variable setLightLevel(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.setLightLevel";
    minBright = float(numberArg(args, 0, fn, "min"));
    maxBright = float(numberArg(args, 1, fn, "max"));
    return Variable();
}

Variable spawnLightBinding(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.spawnLight";
    float x = float(numberArg(args, 0, fn, "x")), z = float(numberArg(args, 1, fn, "z")),
          y = float(numberArg(args, 2, fn, "y"));
    int32_t r = intArg(args, 3, fn, "r"), g = intArg(args, 4, fn, "g"), b = intArg(args, 5, fn, "b");
    spawnLight(x, z, y, r, g, b, float(numberArg(args, 6, fn, "intensity")));
    return Variable();
}

Variable clearLights(const std::vector<Variable>&) {
    lights.clear();
    return Variable();
}

Variable setPlayerHeight(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.setPlayerHeight";
    double height = numberArg(args, 0, fn, "height");
    double offset = args.size() > 1 && !args[1].isNone() ? numberArg(args, 1, fn, "offset") : 0.0;
    cameraHeightOffset = float(height + offset / 12);
    return Variable();
}

Variable getPlayerHeight(const std::vector<Variable>&) {
    return Variable(cameraHeightOffset);
}

Variable setPlayerPosition(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.setPlayerPosition";
    playerx = float(numberArg(args, 0, fn, "x"));
    playery = float(numberArg(args, 1, fn, "y"));
    return Variable();
}

Variable getPlayerPosition(const std::vector<Variable>&) {
    return returnValues({Variable(truncateToInt(playerx)), Variable(truncateToInt(playery))});
}

Variable setPlayerRotation(const std::vector<Variable>& args) {
    cameraangle = float(numberArg(args, 0, "Tessel.setPlayerRotation", "rotation"));
    return Variable();
}

Variable getPlayerRotation(const std::vector<Variable>&) {
    return Variable(truncateToInt(cameraangle));
}

Variable setRenderDistance(const std::vector<Variable>& args) {
    maxDistance = float(numberArg(args, 0, "Tessel.setRenderDistance", "distance"));
    return Variable();
}

Variable getRenderDistance(const std::vector<Variable>&) {
    return Variable(truncateToInt(maxDistance));
}

Variable setTilt(const std::vector<Variable>& args) {
    cameratilt = float(numberArg(args, 0, "Tessel.setTilt", "tilt"));
    return Variable();
}

Variable getTilt(const std::vector<Variable>&) {
    return Variable(truncateToInt(cameratilt));
}

// The camera's target for a move: along the view, or sideways when the flag is false.
PlanePoint moveArgs(const std::vector<Variable>& args, const std::string& fn) {
    double distance = numberArg(args, 0, fn, "distance");
    return movementTarget(distance, flagValue(requireArg(args, 1, fn)));
}

Variable movePlayer(const std::vector<Variable>& args) {
    PlanePoint target = moveArgs(args, "Tessel.movePlayer");
    playerx = float(target.x), playery = float(target.z);
    return Variable();
}

// The target of the same move, for a script's collision test before moving.
Variable dontMovePlayer(const std::vector<Variable>& args) {
    PlanePoint target = moveArgs(args, "Tessel.dontMovePlayer");
    return returnValues({Variable(truncateToInt(target.x)), Variable(truncateToInt(target.z))});
}

Variable threads(const std::vector<Variable>& args) {
    AllowedThreads = intArg(args, 0, "Tessel.threads", "count");
    return Variable();
}

Variable fog(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.fog";
    fogR = float(numberArg(args, 0, fn, "r"));
    fogG = float(numberArg(args, 1, fn, "g"));
    fogB = float(numberArg(args, 2, fn, "b"));
    return Variable();
}

Variable setFov(const std::vector<Variable>& args) {
    setFovDegrees(float(numberArg(args, 0, "Tessel.setFov", "fov")));
    return Variable();
}

Variable getFov(const std::vector<Variable>&) {
    return Variable(truncateToInt(fovDegrees()));
}

Variable setAccuracy(const std::vector<Variable>& args) {
    step = intArg(args, 0, "Tessel.setAccuracy", "accuracy");
    return Variable();
}

Variable getAccuracy(const std::vector<Variable>&) {
    return Variable(step);
}

Variable setReflection(const std::vector<Variable>& args) {
    reflectionIntensity = float(numberArg(args, 0, "Tessel.setReflection", "intensity"));
    return Variable();
}

Variable setRaytrace(const std::vector<Variable>& args) {
    maxRaytrace = intArg(args, 0, "Tessel.setRaytrace", "depth");
    return Variable();
}

} // namespace

HostMembers tesselRendererMembers() {
    return {{"setSize", setSize},
            {"project", project},
            {"setQuads", setQuads},
            {"raycast", raycast},
            {"projection", projection},
            {"setLightLevel", setLightLevel},
            {"spawnLight", spawnLightBinding},
            {"clearLights", clearLights},
            {"setPlayerHeight", setPlayerHeight},
            {"getPlayerHeight", getPlayerHeight},
            {"setPlayerPosition", setPlayerPosition},
            {"getPlayerPosition", getPlayerPosition},
            {"setPlayerRotation", setPlayerRotation},
            {"getPlayerRotation", getPlayerRotation},
            {"setRenderDistance", setRenderDistance},
            {"getRenderDistance", getRenderDistance},
            {"setTilt", setTilt},
            {"getTilt", getTilt},
            {"setMap", setMap},
            {"movePlayer", movePlayer},
            {"dontMovePlayer", dontMovePlayer},
            {"threads", threads},
            {"fog", fog},
            {"setFov", setFov},
            {"getFov", getFov},
            {"setAccuracy", setAccuracy},
            {"getAccuracy", getAccuracy},
            {"sortVertex", sortVertex},
            {"setReflection", setReflection},
            {"setRaytrace", setRaytrace}};
}
