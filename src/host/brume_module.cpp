// The Brume module: running script text, globals by name, clocks, sleeping,
// on-screen button hit tests, a text checksum and the runtime directory.
#include "index.h"
#include "modules.h"
#include "platform_layer.h"

#include <bit>
#include <chrono>

struct buttonVec {
    int32_t x1, x2, y1, y2;
    int32_t result;
};

namespace {

std::vector<buttonVec> buttons;
std::string runtimeDirectory = "./";

int64_t wallClockMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

const int64_t globalOrigin = wallClockMicros();
int64_t frameOrigin = globalOrigin;

Variable millisecondsSince(int64_t origin, int64_t now) {
    return Variable(static_cast<int32_t>((now - origin) / 1000));
}

Variable runScript(const std::vector<Variable>& args) {
    engine.runScript(stringArg(args, 0, "Brume.runScript", "scriptText"));
    return Variable();
}

Variable getVar(const std::vector<Variable>& args) {
    std::string name = stringArg(args, 0, "Brume.getVar", "name");
    try {
        return engine.pullVariable(name);
    } catch (const std::exception&) {
        return Variable();
    }
}

// The datatype codes are the constants BRUME_INT to BRUME_POINTER.
Variable convertForStore(const Variable& value, int64_t datatype) {
    switch (datatype) {
    case 0:
        return Variable(truncateToInt(numericValue(value, "Brume.setVar", "value")));
    case 1:
        return Variable(static_cast<float>(numericValue(value, "Brume.setVar", "value")));
    case 2:
        return Variable(ScriptEngine::isTruthy(value));
    case 3:
        return Variable(stringValue(value, "Brume.setVar", "value"));
    case 4:
    case 5:
        return value;
    default:
        return Variable(false);
    }
}

Variable setVar(const std::vector<Variable>& args) {
    std::string name = stringArg(args, 0, "Brume.setVar", "name");
    Variable value = args.size() > 1 ? args[1] : Variable();
    if (args.size() > 2 && args[2].isNumeric()) {
        double code = std::trunc(numericValue(args[2], "Brume.setVar", "datatype"));
        value = convertForStore(value, code >= 0 && code <= 5 ? int64_t(code) : -1);
    }
    engine.pushVariable(name, value);
    return Variable();
}

Variable getGlobalTime(const std::vector<Variable>&) {
    return millisecondsSince(globalOrigin, wallClockMicros());
}

Variable getClock(const std::vector<Variable>&) {
    int64_t now = wallClockMicros();
    Variable elapsed = millisecondsSince(frameOrigin, now);
    frameOrigin = now;
    return elapsed;
}

Variable sleepFor(const std::vector<Variable>& args) {
    bv_sleep_ms(intArg(args, 0, "Brume.sleep", "milliseconds"));
    return Variable();
}

Variable checkButton(const std::vector<Variable>& args) {
    int32_t x = intArg(args, 0, "Brume.checkButton", "x");
    int32_t y = intArg(args, 1, "Brume.checkButton", "y");
    return Variable(checkbounds(x, y, buttons));
}

Variable pushButton(const std::vector<Variable>& args) {
    static const char* const names[] = {"x1", "x2", "y1", "y2", "result"};
    int32_t v[5];
    for (size_t i = 0; i < 5; ++i) v[i] = intArg(args, i, "Brume.pushButton", names[i]);
    buttons.push_back({v[0], v[1], v[2], v[3], v[4]});
    return Variable();
}

Variable clearButtons(const std::vector<Variable>&) {
    buttons.clear();
    return Variable();
}

Variable checksum(const std::vector<Variable>& args) {
    return Variable(calculateChecksum(stringArg(args, 0, "Brume.checksum", "text")));
}

Variable getPath(const std::vector<Variable>&) {
    return Variable(runtimeDirectory);
}

} // namespace

// Edges are exclusive and may come in either order; the first button pushed wins.
int32_t checkbounds(int32_t x, int32_t y, const std::vector<buttonVec>& list) {
    for (const buttonVec& b : list) {
        bool insideX = std::min(b.x1, b.x2) < x && x < std::max(b.x1, b.x2);
        bool insideY = std::min(b.y1, b.y2) < y && y < std::max(b.y1, b.y2);
        if (insideX && insideY) return b.result;
    }
    return 0;
}

int32_t calculateChecksum(const std::string& text) {
    uint32_t h = 0;
    for (size_t i = 0; i < text.size(); ++i)
        h = std::rotl(h, 3) + uint32_t(static_cast<uint8_t>(text[i])) * uint32_t(i + 1);
    return static_cast<int32_t>(h);
}

void setRuntimeDirectory(std::string directory) {
    runtimeDirectory = std::move(directory);
}

HostMembers brumeMembers() {
    return {{"runScript", runScript},         {"getVar", getVar},         {"setVar", setVar},
            {"getGlobalTime", getGlobalTime}, {"getClock", getClock},     {"sleep", sleepFor},
            {"checkButton", checkButton},     {"pushButton", pushButton}, {"clearButtons", clearButtons},
            {"checksum", checksum},           {"getPath", getPath}};
}
