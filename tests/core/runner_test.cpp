// The host interface, script paths, the script-file loader and error reports.
#include "ScriptEngine.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

namespace {

std::string scriptError(ScriptEngine& engine, const std::string& source) {
    return errorOf([&] { engine.runScript(source); });
}

// The caret goes under the whole token, found where it stands in the line; a
// report from a script file names the file where others give only the line.
TEST(Runner, ReportsPointAtTheTokenAndNameTheFile) {
    ScriptEngine engine;
    EXPECT_EQ(scriptError(engine, "x = 1\ny = 2\nz = foo + foo.bar"),
              "BrumeScript error: Unknown token: foo.bar\n"
              "  at line 3, near token 'foo.bar'\n"
              "  z = foo + foo.bar\n"
              "            ^~~~~~~\n"
              "  hint: check spelling, operators, parentheses, and quote matching\n");

    TempFolder folder;
    std::string main = folder.write("main.bs", "a = 1\n\nb = a + foo()\n");
    std::string report = scriptError(engine, "runFile('" + main + "')");
    EXPECT_NE(report.find("BrumeScript error: Attempted to call a non-function value of type not\n  at " +
                          main + ":3, near token 'foo'\n  b = a + foo()\n          ^~~\n"),
              std::string::npos)
        << report;
}

// A host function that takes a library function's name, or its place, is
// called as itself: builtin dispatch goes by the callable, not the name.
TEST(Runner, HostInterface) {
    ScriptEngine engine;
    engine.pushFunction("twice", [](const std::vector<Variable>& args) {
        return Variable(ScriptEngine::toInt(args.at(0)) * 2);
    });
    engine.pushVariable("base", Variable(20));
    engine.runScript("result = twice(base) + 2");
    EXPECT_EQ(engine.pullVariable("result").asInt(), 42);
    EXPECT_EQ(errorOf([&] { engine.pullVariable("missing"); }), "Variable not found: missing");

    engine.pushFunction("getTimeMs", [](const std::vector<Variable>&) { return Variable(7); });
    engine.runScript("t = getTimeMs()\nu = getTimeMs() + 1");
    EXPECT_EQ(engine.pullVariable("t").asInt(), 7);
    EXPECT_EQ(engine.pullVariable("u").asInt(), 8);

    Variable math = engine.pullVariable("math");
    Variable floor = ScriptEngine::makeNativeCallable(
        [](const std::vector<Variable>&) { return Variable(42); }, "math.floor", 0);
    ASSERT_EQ(floor.type, VarType::Function);
    EXPECT_TRUE(floor.asFunction()->isNative);
    (*math.asTable())["floor"] = floor;
    engine.runScript("x = math['floor'](1.5) + 0\ny = math['floor'](1.5)");
    EXPECT_EQ(engine.pullVariable("x").asInt(), 42);
    EXPECT_EQ(engine.pullVariable("y").asInt(), 42);
}

// A relative script path is tried beside the running script, then under
// Resources, whose scripts folder also answers for paths under ast/scripts/.
TEST(Runner, Paths) {
    EXPECT_EQ(ScriptEngine::pathDirectory("file.bs"), "");
    EXPECT_EQ(ScriptEngine::pathDirectory("a/b/file.bs"), "a/b");
    for (const char* folder : {"a/", "a"}) EXPECT_EQ(ScriptEngine::joinPath(folder, "b"), "a/b") << folder;
    EXPECT_EQ(ScriptEngine::joinPath("", "b"), "b");
    EXPECT_FALSE(ScriptEngine::pathExists(""));

    TempFolder folder;
    folder.write("Resources/lib/main.bs",
                 "print(1)\nrunFile('helper.bs')\nrunFile('shared.bs')\nrunFile('ast/scripts/tool.bs')\n");
    folder.write("Resources/lib/helper.bs", "order = order + 'h'\n");
    folder.write("Resources/shared.bs", "order = order + 's'\n");
    folder.write("Resources/scripts/tool.bs", "order = order + 't'\n");
    ScriptEngine engine;
    engine.pushVariable("order", Variable(""));
    testing::internal::CaptureStdout();
    engine.runScript("runFile('" + folder.path() + "/Resources/lib/main.bs')");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(engine.pullVariable("order").asString(), "hst");
    EXPECT_EQ(engine.resolvePath("nowhere.bs"), "nowhere.bs");
}

// loadFile reports failures as values; a chunk is loaded once and reused
// until its file changes.
TEST(Runner, LoadFileReportsFailuresAndCachesChunks) {
    TempFolder folder;
    std::string broken = folder.write("broken.bs", "x = 'open\n");
    ScriptEngine engine;
    engine.runScript("a, b = loadFile('" + folder.path() + "/none.bs')\nc, d = loadFile('" + broken + "')");
    EXPECT_TRUE(engine.pullVariable("a").isNone());
    EXPECT_EQ(engine.pullVariable("b").asString(),
              "Failed to open script file: " + folder.path() + "/none.bs");
    EXPECT_TRUE(engine.pullVariable("c").isNone());
    EXPECT_EQ(engine.pullVariable("d").asString().rfind(
                  "BrumeScript error: Unterminated string literal\n  at " + broken + ":1", 0),
              0u);
    EXPECT_EQ(scriptError(engine, "loadFile(3)")
                  .find("BrumeScript error: loadFile(path) requires a script path string"),
              0u);

    std::string script = folder.write("count.bs", "n = n + 1\n");
    engine.pushVariable("n", Variable(0));
    engine.runScript("f = loadFile('" + script + "')\ng = loadFile('" + script + "')\nsame = f == g");
    EXPECT_TRUE(engine.pullVariable("same").asBool());
    folder.write("count.bs", "n = n + 100\n");
    engine.runScript("runFile('" + script + "')");
    EXPECT_EQ(engine.pullVariable("n").asInt(), 100);
}

} // namespace
