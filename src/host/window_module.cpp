// The Daziz module: the script's one window, and the input globals it feeds.
#include "index.h"
#include "modules.h"
#include "platform_layer.h"

namespace {

BvWindow win = nullptr; // the script's window, null when none

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
    for (int n = 1; n <= 4; ++n)
        engine.pushVariable("BRUME_TOUCHBAR_" + std::to_string(n),
                            Variable(bv_getTouchBarButtonState(win, n) != 0));
}

HostMembers dazizMembers() {
    return {{"updateInput", updateInput}};
}
