// The Daziz module: the script's one window, and the input globals it feeds.
#include "index.h"
#include "modules.h"
#include "platform_layer.h"

#include "TesselImage.h"

#include <memory>

namespace {

BvWindow win = nullptr;  // the script's window, null when none
std::string windowTitle; // the title last given by a script

// A pointer argument that must name a live image with pixels.
const TesselImage* validImage(const Variable& value, const std::string& function, const std::string& argName,
                              const char* failure) {
    auto* image = static_cast<TesselImage*>(pointerValue(value, function, argName));
    if (!isLiveImage(image) || !hasPixels(image)) bindingError(function, failure);
    return image;
}

// The input globals' key names, in the order they are published, with the
// platform key each one reads.
struct KeyGlobal {
    std::string name;
    int key;
};

std::vector<KeyGlobal> keyGlobals() {
    std::vector<KeyGlobal> keys = {{"BRUME_KEY_RETURN", BV_KEY_RETURN},
                                   {"BRUME_KEY_UP", BV_KEY_UP},
                                   {"BRUME_KEY_DOWN", BV_KEY_DOWN},
                                   {"BRUME_KEY_LEFT", BV_KEY_LEFT},
                                   {"BRUME_KEY_RIGHT", BV_KEY_RIGHT}};
    for (int i = 0; i < 26; ++i) keys.push_back({"BRUME_KEY_" + std::string(1, char('A' + i)), BV_KEY_A + i});
    for (int i = 0; i < 9; ++i) keys.push_back({"BRUME_KEY_" + std::to_string(i + 1), BV_KEY_1 + i});
    keys.push_back({"BRUME_KEY_0", BV_KEY_0});
    keys.push_back({"BRUME_KEY_BACK", BV_KEY_BACK});
    keys.push_back({"BRUME_KEY_DELETE", BV_KEY_DELETE});
    keys.push_back({"BRUME_KEY_SPACE", BV_KEY_SPACE});
    return keys;
}

Variable updateInput(const std::vector<Variable>&) {
    publishInputGlobals();
    return Variable();
}

Variable renderImage(const std::vector<Variable>& args) {
    static const std::string fn = "Daziz.renderImage"; // built once: this runs every frame
    const TesselImage* image =
        validImage(requireArg(args, 0, fn), fn, "image", "image must be a valid image");
    bv_pushImage(win, image);
    return Variable();
}

Variable forceUpdate(const std::vector<Variable>&) {
    bv_updateWindow(win);
    return Variable();
}

Variable getTitle(const std::vector<Variable>&) {
    return Variable(windowTitle);
}

Variable getWindow(const std::vector<Variable>&) {
    TesselImage* capture = bv_captureWindow(win);
    if (!capture) return Variable();
    return Variable::pointer(registerLiveImage(std::unique_ptr<TesselImage>(capture)));
}

Variable clearTouchBar(const std::vector<Variable>&) {
    bv_clearTouchBar(win);
    return Variable();
}

// A touch-bar button's content: a label or an image; nil is an empty label.
void setTouchBarContent(int button, const Variable& value) {
    const std::string fn = "Daziz.setTouchBarButton";
    if (value.type == VarType::Pointer) {
        bv_setTouchBarButtonImage(win, button,
                                  validImage(value, fn, "image", "touch bar image must be a valid image"));
    } else if (value.type == VarType::String || value.isNone()) {
        const std::string label = value.isNone() || value.asString() == "space" ? "" : value.asString();
        bv_setTouchBarButtonText(win, button, label.c_str());
    } else {
        bindingError(fn, "touch bar input must be a string, image, or nil");
    }
}

Variable setTouchBarButton(const std::vector<Variable>& args) {
    const std::string fn = "Daziz.setTouchBarButton";
    if (args.size() < 2) bindingError(fn, "expected button index and label or mode");
    const int button = intArg(args, 0, fn, "button");
    const bool activeMode = args[1].type == VarType::String && args[1].asString() == "active";
    setTouchBarContent(button, activeMode ? (args.size() > 2 ? args[2] : Variable()) : args[1]);
    return Variable();
}

Variable setTouchBarButtonImage(const std::vector<Variable>& args) {
    const std::string fn = "Daziz.setTouchBarButtonImage";
    const int button = intArg(args, 0, fn, "button");
    const TesselImage* image =
        validImage(requireArg(args, 1, fn), fn, "image", "touch bar image must be a valid image");
    bv_setTouchBarButtonImage(win, button, image);
    return Variable();
}

Variable setTitle(const std::vector<Variable>& args) {
    windowTitle = stringArg(args, 0, "Daziz.setTitle", "title");
    bv_setWindowTitle(win, windowTitle.c_str());
    return Variable();
}

Variable clearBuffer(const std::vector<Variable>& args) {
    const std::string fn = "Daziz.clearBuffer";
    const auto channel = [&](size_t i, const char* name) {
        return uint8_t(intArg(args, i, fn, name) & 0xFF);
    };
    const uint8_t r = channel(0, "r"), g = channel(1, "g"), b = channel(2, "b");
    bv_clearWindow(win, r, g, b);
    return Variable();
}

Variable checkClose(const std::vector<Variable>&) {
    return Variable(win && bv_windowShouldClose(win));
}

Variable killWindow(const std::vector<Variable>&) {
    bv_destroyWindow(win);
    win = nullptr;
    return Variable();
}

Variable spawnWindow(const std::vector<Variable>& args) {
    const std::string fn = "Daziz.spawnWindow";
    const int width = intArg(args, 0, fn, "width"), height = intArg(args, 1, fn, "height");
    windowTitle = stringArg(args, 2, fn, "title");
    win = bv_createWindow(windowTitle.c_str(), width, height);
    publishInputGlobals();
    return Variable();
}

} // namespace

void publishInputGlobals() {
    static const std::vector<KeyGlobal> keys = keyGlobals();
    int mouseX = -1, mouseY = -1;
    bool buttons[3] = {};
    if (win) {
        bv_getMousePosition(win, &mouseX, &mouseY);
        for (int b = 0; b < 3; ++b) buttons[b] = bv_getMouseButtonState(win, b);
    }
    bv_updateKeyboardState();
    engine.pushVariable("BRUME_MOUSE_1", Variable(buttons[0]));
    engine.pushVariable("BRUME_MOUSE_2", Variable(buttons[1]));
    engine.pushVariable("BRUME_MOUSE_3", Variable(buttons[2]));
    engine.pushVariable("BRUME_MOUSE_X", Variable(int32_t(mouseX)));
    engine.pushVariable("BRUME_MOUSE_Y", Variable(int32_t(mouseY)));
    for (const KeyGlobal& key : keys) engine.pushVariable(key.name, Variable(bv_key_state(key.key)));
    // Named once: a frame loop republishes these every frame.
    static const std::string touchBar[] = {"BRUME_TOUCHBAR_1", "BRUME_TOUCHBAR_2", "BRUME_TOUCHBAR_3",
                                           "BRUME_TOUCHBAR_4"};
    for (int n = 1; n <= 4; ++n)
        engine.pushVariable(touchBar[n - 1], Variable(bv_getTouchBarButtonState(win, n) != 0));
}

HostMembers dazizMembers() {
    return {{"renderImage", renderImage},
            {"updateInput", updateInput},
            {"forceUpdate", forceUpdate},
            {"getTitle", getTitle},
            {"getWindow", getWindow},
            {"clearTouchBar", clearTouchBar},
            {"setTouchBarButton", setTouchBarButton},
            {"setTouchBarButtonImage", setTouchBarButtonImage},
            {"setTitle", setTitle},
            {"clearBuffer", clearBuffer},
            {"checkClose", checkClose},
            {"killWindow", killWindow},
            {"spawnWindow", spawnWindow}};
}
