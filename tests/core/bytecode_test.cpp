// Compiled programs and hand-made bytecode files. That compiled programs save,
// load back and run the same is pinned by running every script test from its
// bytecode file.
#include "ScriptEngine.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

namespace {

// Little-endian record builder for hand-made bytecode files.
struct Bytes {
    std::string data;
    Bytes& raw(const std::string& s) {
        data += s;
        return *this;
    }
    Bytes& u8(uint8_t v) { return raw(std::string(1, static_cast<char>(v))); }
    Bytes& u16(uint16_t v) { return u8(v & 0xff).u8(v >> 8); }
    Bytes& u32(uint32_t v) { return u16(v & 0xffff).u16(v >> 16); }
    Bytes& str(const std::string& s) { return u32(static_cast<uint32_t>(s.size())).raw(s); }
};

std::string loadError(ScriptEngine& engine, const std::string& path) {
    return errorOf([&] { engine.loadBytecode(path); });
}

// A two-line program `x = 41` / `x = x + 1` in the layout of `version`.
Bytes handMadeProgram(uint16_t version) {
    Bytes b;
    b.raw("BSBC").u16(version).str("dir");
    if (version >= 5) b.str("dir/main.bs");
    b.u32(2);
    const std::vector<std::vector<std::string>> lines = {{"x", "=", "41"}, {"x", "=", "x", "+", "1"}};
    const char* texts[] = {"x = 41", "x = x + 1"};
    for (size_t i = 0; i < 2; ++i) {
        b.str(texts[i]);
        if (version >= 6) b.u32(static_cast<uint32_t>(10 + i));
        b.u32(static_cast<uint32_t>(lines[i].size()));
        for (const auto& t : lines[i]) b.str(t);
    }
    b.u32(2).u8(0).u32(0).u32(0).u8(0).u32(1).u32(0); // two Line instructions
    b.u32(1).u32(0).u32(2).u8(0);                     // chunk 0
    b.u32(0).u32(0).u32(0).u32(0).u32(0).u32(0);      // no if groups, loops or functions
    return b;
}

TEST(Bytecode, CompilerBuildsChunksAndTables) {
    ScriptEngine engine;
    auto program =
        engine.compileToBytecode("x = 1\nif a\n  local y = 2\nelseif b\nelse\nend\n"
                                 "for i = 1, 3\nend\nfor k, v in pairs(t)\nend\nwhile c\n  break\nend\n"
                                 "function f()\n  return 1\nend\nt[1] = 1");
    ASSERT_EQ(program->ifGroups.size(), 1u);
    const auto& branches = program->ifGroups[0].branches;
    ASSERT_EQ(branches.size(), 3u);
    EXPECT_FALSE(branches[1].isElse);
    EXPECT_TRUE(branches[2].isElse);
    EXPECT_TRUE(program->chunks[branches[0].bodyChunk].needsScope);
    EXPECT_FALSE(program->chunks[branches[1].bodyChunk].needsScope);
    EXPECT_EQ(program->numericFors.size(), 1u);
    EXPECT_EQ(program->genericFors.size(), 1u);
    EXPECT_EQ(program->whileLoops.size(), 1u);
    ASSERT_EQ(program->functionDecls.size(), 1u);
    EXPECT_EQ(program->functionDecls[0].bodyFirstLine, 14u);
    EXPECT_EQ(program->functionDecls[0].bodyEndLine, 15u);
    // Chunk 0 is the program; its instructions come after those of the nested chunks.
    const BytecodeChunk& top = program->chunks[0];
    EXPECT_EQ(top.firstInstruction + top.instructionCount, program->instructions.size());
    EXPECT_EQ(top.instructionCount, 7u);
    EXPECT_EQ(program->instructions.back().opcode, static_cast<uint8_t>(Opcode::Line));
    EXPECT_EQ(engine.compileToBytecode("")->chunks.size(), 1u);
}

// The whole program compiles before any of it runs, and a top-level return
// ends it with the program's value.
TEST(Bytecode, ProgramsCompileWholeAndReturnTheirValue) {
    ScriptEngine engine;
    EXPECT_EQ(errorOf([&] {
                  engine.runScript("ran = true\nwhile x\n");
              }).rfind("BrumeScript error: Missing 'end' for while block\n  at line 2", 0),
              0u);
    EXPECT_THROW(engine.pullVariable("ran"), std::runtime_error);
    EXPECT_EQ(engine.runScript("return 5\nx = 1").asInt(), 5);
    EXPECT_THROW(engine.pullVariable("x"), std::runtime_error);
}

TEST(Bytecode, OlderVersionsLoad) {
    TempFolder folder;
    for (uint16_t version : {4, 5, 6}) {
        ScriptEngine engine;
        auto program = engine.loadBytecode(folder.write("old.bsc", handMadeProgram(version).data + "junk"));
        EXPECT_EQ(program->version, version);
        EXPECT_EQ(program->scriptPath, version >= 5 ? "dir/main.bs" : "");
        EXPECT_EQ(program->lines[1].lineNumber, version >= 6 ? 11u : 1u);
        engine.runBytecode(*program);
        EXPECT_EQ(engine.pullVariable("x").asInt(), 42);

        // Saving writes the current version, which loads back the same.
        const std::string resaved = folder.path() + "/resaved.bsc";
        engine.saveBytecode(*program, resaved);
        auto again = engine.loadBytecode(resaved);
        EXPECT_EQ(again->version, 6);
        EXPECT_EQ(again->lines[1].lineNumber, program->lines[1].lineNumber);
    }
}

TEST(Bytecode, BadFilesGiveTheirMessages) {
    ScriptEngine engine;
    TempFolder folder;
    const std::string full = handMadeProgram(6).data, path = folder.path() + "/bad.bsc";
    const std::string hugeCount = Bytes().raw("BSBC").u16(6).str("").str("").u32(0xffffffffu).data;
    for (const std::string& data : {std::string(), std::string("BSBC"), full.substr(0, 7), full.substr(0, 20),
                                    full.substr(0, full.size() - 1), hugeCount})
        EXPECT_EQ(loadError(engine, folder.write("bad.bsc", data)),
                  "Invalid bytecode file (truncated): " + path)
            << data.size();
    EXPECT_EQ(loadError(engine, folder.write("bad.bsc", "BSBX\x06")),
              "Invalid bytecode file (bad magic): " + path);
    EXPECT_EQ(loadError(engine, folder.write("bad.bsc", Bytes().raw("BSBC").u16(7).data)),
              "Unsupported bytecode version: 7");
    EXPECT_EQ(loadError(engine, folder.path() + "/none.bsc"),
              "Failed to open bytecode file for reading: " + folder.path() + "/none.bsc");
    auto program = engine.compileToBytecode("x = 1");
    EXPECT_EQ(errorOf([&] { engine.saveBytecode(*program, "/nonexistent-folder/x.bsc"); }),
              "Failed to open bytecode file for writing: /nonexistent-folder/x.bsc");
}

TEST(Bytecode, CorruptIndexesFailWhenRun) {
    ScriptEngine engine;
    TempFolder folder;
    Bytes b;
    b.raw("BSBC").u16(6).str("").str("").u32(0);
    b.u32(2).u8(0).u32(99).u32(0).u8(2).u32(5).u32(0); // a Line past the lines, an If past the groups
    b.u32(2).u32(0).u32(1).u8(0).u32(1).u32(1).u8(0);
    b.u32(0).u32(0).u32(0).u32(0).u32(0).u32(0);
    auto program = engine.loadBytecode(folder.write("corrupt.bsc", b.data));
    auto runError = [&](const BytecodeProgram& p) { return errorOf([&] { engine.runBytecode(p); }); };
    EXPECT_NE(runError(*program).find("Bytecode line index out of range"), std::string::npos);
    program->chunks[0] = program->chunks[1];
    EXPECT_NE(runError(*program).find("Bytecode if-group index out of range"), std::string::npos);
    program->instructions[1].opcode = 5; // a numeric for past the loops
    EXPECT_NE(runError(*program).find("Bytecode numeric-for index out of range"), std::string::npos);
    program->chunks.clear();
    EXPECT_NE(runError(*program).find("Invalid bytecode chunk index"), std::string::npos);
}

// Only a hand-made program names one body in two blocks, or a block in itself.
TEST(Bytecode, SharedAndCyclicBodiesRun) {
    ScriptEngine engine;
    auto program =
        engine.compileToBytecode("i = 0\nwhile true\n  i = i + 1\n  if i > 2\n    break\n  end\nend\n"
                                 "while true\n  i = i + 100\nend\nif true\n  i = i + 10\nend\n"
                                 "return i");
    program->whileLoops[1].bodyChunk = program->whileLoops[0].bodyChunk;
    EXPECT_EQ(engine.runBytecode(*program).asInt(), 14); // the second loop breaks on its first pass
    program->ifGroups.back().branches[0].bodyChunk = 0;
    EXPECT_NE(errorOf([&] { engine.runBytecode(*program); }).find("Stack overflow"), std::string::npos);
}

} // namespace
