// The host module registry: the six module tables, the global helpers and the
// engine constants, bound once before the boot script runs.
#include "index.h"
#include "modules.h"
#include "platform_layer.h"

#include <algorithm>
#include <string_view>

ScriptEngine engine;

namespace {

// Module members are listed here in the one order they are registered in; a
// member whose subsystem is not built is simply absent.
constexpr std::string_view tesselOrder[] = {"setSize",
                                            "project",
                                            "setQuads",
                                            "raycast",
                                            "projection",
                                            "setLightLevel",
                                            "spawnLight",
                                            "clearLights",
                                            "setPlayerHeight",
                                            "getPlayerHeight",
                                            "setPlayerPosition",
                                            "getPlayerPosition",
                                            "setPlayerRotation",
                                            "getPlayerRotation",
                                            "setRenderDistance",
                                            "getRenderDistance",
                                            "setTilt",
                                            "getTilt",
                                            "setMap",
                                            "movePlayer",
                                            "printImage",
                                            "threads",
                                            "fog",
                                            "setFov",
                                            "getFov",
                                            "setAccuracy",
                                            "getAccuracy",
                                            "dither",
                                            "skew",
                                            "sortVertex",
                                            "bilinear",
                                            "trimImage",
                                            "bilinearSolid",
                                            "dontMovePlayer",
                                            "createImage",
                                            "checkImage",
                                            "saveImage",
                                            "blitImage",
                                            "modifyImage",
                                            "mirrorImage",
                                            "killImage",
                                            "imageSize",
                                            "setReflection",
                                            "setRaytrace",
                                            "insertReflection",
                                            "loadPNG",
                                            "saveTesselImage",
                                            "loadTesselImage"};

size_t tesselRank(std::string_view member) {
    return std::find(std::begin(tesselOrder), std::end(tesselOrder), member) - std::begin(tesselOrder);
}

HostMembers tesselMembers() {
    HostMembers members = tesselRendererMembers();
    for (HostMember& member : tesselImageMembers()) members.push_back(std::move(member));
    std::stable_sort(members.begin(), members.end(), [](const HostMember& a, const HostMember& b) {
        return tesselRank(a.name) < tesselRank(b.name);
    });
    return members;
}

Variable makeModule(const std::string& name, HostMembers members) {
    Variable table = makeTable();
    for (HostMember& member : members) {
        std::string callableName = name + "." + member.name;
        (*table.asTable())[member.name] =
            ScriptEngine::makeNativeCallable(std::move(member.function), callableName, 0);
    }
    return table;
}

float singlePrecision(double value) {
    return static_cast<float>(value);
}

// The helpers keep their own argument-count texts; their numbers go through
// the shared numeric check.
NativeFunction exactly(size_t count, std::string countMessage, std::string function,
                       std::vector<std::string> names, double (*compute)(const double*)) {
    return [=](const std::vector<Variable>& args) -> Variable {
        if (args.size() != count) throw std::runtime_error(countMessage);
        double values[2] = {};
        for (size_t i = 0; i < count; ++i) values[i] = numericValue(args[i], function, names[i]);
        return singlePrecision(compute(values));
    };
}

// calcHeight's origin is the script float 5.8825, so that calcHeight(5.8825) is 0.
void registerGlobalHelpers() {
    engine.pushFunction("add", [](const std::vector<Variable>& args) -> Variable {
        if (args.size() != 2) throw std::runtime_error("add requires exactly 2 arguments");
        float sum =
            singlePrecision(numericValue(args[0], "add", "left") + numericValue(args[1], "add", "right"));
        bool anyFloat = args[0].type == VarType::Float || args[1].type == VarType::Float;
        return anyFloat ? Variable(sum) : Variable(truncateToInt(sum));
    });
    // dFeet and dMetres name their arguments in the count message only.
    engine.pushFunction("dFeet",
                        exactly(2, "dFeet(feet, inches) requires exactly 2 arguments", "dFeet",
                                {"feet", "inches"}, [](const double* v) { return v[0] + v[1] / 12.0; }));
    engine.pushFunction("dMetres", exactly(2, "dMetres(metres, centimetres) requires exactly 2 arguments",
                                           "dMetres", {"metres", "centimetres"}, [](const double* v) {
                                               return v[0] * 3.280839895 + v[1] * 0.032808399;
                                           }));
    engine.pushFunction("calcHeight",
                        exactly(1, "calcHeight(feet) requires exactly 1 argument", "calcHeight", {"feet"},
                                [](const double* v) { return (v[0] - double(5.8825f)) * 184.95; }));
}

void define(const std::string& name, Variable value) {
    engine.pushVariable(name, value);
}

void defineInts(std::initializer_list<std::pair<const char*, int32_t>> constants) {
    for (const auto& [name, value] : constants) define(name, Variable(value));
}

void defineBools(std::initializer_list<const char*> names, bool value) {
    for (const char* name : names) define(name, Variable(value));
}

void defineNumbered(const std::string& prefix, int first, int last, int32_t value) {
    for (int n = first; n <= last; ++n) define(prefix + std::to_string(n), Variable(value));
}

void registerConstants() {
    define("METAL_ENABLED", Variable(bv_has_metal_window()));
    define("QUARTZ_ENABLED", Variable(bv_has_quartz_window()));
    define("MIXER_ENABLED", Variable(bv_has_mixer()));
    define("BRUMESCRIPT_ENABLED", Variable(true));
    define("MIXER_SKIP_SLIDE", Variable(false));
    defineInts({{"LUA_VERSION_MAJOR", bv_lua_version_major()},
                {"LUA_VERSION_MINOR", bv_lua_version_minor()},
                {"LUA_VERSION_PATCH", bv_lua_version_patch()}});
    define("LUA_VERSION", Variable(singlePrecision(bv_lua_version_number())));
    define("BRUME_SCRIPT", Variable("visual-novel.bs"));
    define("BRUME_GAME_NAME", Variable(""));
    defineInts({{"BRUME_INT", 0},
                {"BRUME_FLOAT", 1},
                {"BRUME_BOOL", 2},
                {"BRUME_STRING", 3},
                {"BRUME_FUNCTION", 4},
                {"BRUME_POINTER", 5},
                {"BRUME_SCREEN_Y", 544},
                {"BRUME_SCREEN_X", 960},
                {"BRUME_SCREEN_CULL_FAR", 100},
                {"BRUME_SCREEN_CULL_NEAR", 0},
                {"BRUME_SCREEN_FOV", 90}});
    defineBools({"debugger", "debuggerdeep", "textframebuffer"}, false);
    defineInts({{"BRUME_PROCESSOR_NAME", 0},
                {"BRUME_PROCESSOR", 0},
                {"BRUME_OS_PLATFORM", 0},
                {"BRUME_OS_VERSION", 0}});
    define("BRUME_ENGINE_VERSION", Variable("v1.0"));
    define("BRUME_ENGINE_POSTFIX", Variable("Release"));
    defineInts({{"BRUME_FRAMERATE", 41}});
    define("BRUME_FEMALE", Variable(false));
    defineInts({{"BRUME_AUDIO_OFFSET", 0}});
    define("BRUME_AUDIO_PLAYING", Variable(false));
    defineInts({{"BRUME_MOUSE_NIL", 0},
                {"BRUME_MOUSE_LEFT", 1},
                {"BRUME_MOUSE_MIDDLE", 2},
                {"BRUME_MOUSE_RIGHT", 3}});
    defineNumbered("BRUME_TMP", 0, 9, 0);
    defineInts({{"BRUME_RENDER_TMP", -1}, {"BRUME_RENDER_TMP2", -1}});
    for (int n = 1; n <= 13; ++n) {
        define("BRUME_RENDER_" + std::to_string(n), Variable(n));
        define("BRUME_RENDER_S" + std::to_string(n), Variable(n));
    }
    define("BRUME_RENDER_SKIP_PARALLAX", Variable(false));
    defineInts({{"BRUME_WEATHER_LAYER", -1}, {"BRUME_WEATHER_CLEAR", 0}, {"BRUME_WEATHER_LEAF", 1}});
    defineNumbered("BRUME_WEATHER_LAYER_IMAGE", 1, 5, 0);
    defineNumbered("BRUME_WEATHER_LAYER_PATH", 1, 5, 0);
    defineInts({{"BRUME_GREYSCALE", 1},
                {"BRUME_INACTIVE", 2},
                {"BRUME_COLOUR_INVERT", 4},
                {"BRUME_COLOUR_FILL", 5},
                {"BRUME_AETHER_INVERT", 3},
                {"BRUME_AETHER_CLEANUP", 6},
                {"BRUME_AETHER_FILL", 7},
                {"BRUME_AETHER_SET", 8}});
    defineBools({"BRUME_INACTIVE_1", "BRUME_INACTIVE_2", "BRUME_INACTIVE_3", "BRUME_INACTIVE_4"}, false);
    defineInts({{"BRUME_LAYER_FRAMEBUFFER", 1},
                {"BRUME_LAYER_BACKGROUND", 2},
                {"BRUME_LAYER_CHARACTER", 3},
                {"BRUME_LAYER_FOREGROUND", 4},
                {"BRUME_LAYER_SUPERGROUND", 5},
                {"BRUME_SKIP", 10},
                {"BRUME_IMAGE", 11},
                {"BRUME_TEXT", 12},
                {"BRUME_TEXT_SLIDE_RIGHT", 13},
                {"BRUME_TEXT_SLIDE_LEFT", 14},
                {"BRUME_CHARACTER1", 15},
                {"BRUME_CHARACTER2", 16},
                {"BRUME_CHARACTER3", 17},
                {"BRUME_CHARACTER4", 18},
                {"BRUME_PARALLAX", 19}});
    define("BRUME_PARALLAX_UIFG", Variable(false));
    defineInts({{"BRUME_BACKGROUND", 20},  {"BRUME_INTERFACE", 21},   {"BRUME_MESSAGE", 22},
                {"BRUME_DATE", 23},        {"BRUME_TIME", 24},        {"BRUME_NAME", 25},
                {"BRUME_TITLE", 26},       {"BRUME_LOCATION", 27},    {"BRUME_REGION", 28},
                {"BRUME_WEATHER", 29},     {"BRUME_OPTION_1", 31},    {"BRUME_OPTION_2", 32},
                {"BRUME_OPTION_3", 33},    {"BRUME_MENU_MAIN", 50},   {"BRUME_MENU_PAUSE", 51},
                {"BRUME_MENU_SAVE", 52},   {"BRUME_MENU_OPTION", 53}, {"BRUME_GAME_VISUAL_NOVEL", 54},
                {"BRUME_GAME_TARGET", 54}, {"BRUME_CREDIT", 55},      {"BRUME_GAME_NEW", 56},
                {"BRUME_GAME_LOAD", 57},   {"BRUME_RENDER_EXIT", 58}});
    defineBools({"fasle", "flase", "flse"}, false);
    defineBools({"tre", "tue", "ture"}, true);
}

} // namespace

void registerFunctions() {
    if (bv_has_window()) engine.pushVariable("Daziz", makeModule("Daziz", dazizMembers()));
    engine.pushVariable("Brume", makeModule("Brume", brumeMembers()));
    engine.pushVariable("Audio", makeModule("Audio", audioMembers()));
    engine.pushVariable("AI", makeModule("AI", aiMembers()));
    engine.pushVariable("Font", makeModule("Font", fontMembers()));
    engine.pushVariable("Tessel", makeModule("Tessel", tesselMembers()));
    registerGlobalHelpers();
    registerConstants();
    publishInputGlobals();
}
