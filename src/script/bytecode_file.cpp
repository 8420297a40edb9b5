// Bytecode files: a compiled program with its source lines, little-endian,
// under the magic "BSBC". Line analysis is never stored; loading rebuilds it.
#include "ScriptEngine.h"

#include <fstream>
#include <iterator>

namespace {

const char magic[4] = {'B', 'S', 'B', 'C'};

class Writer {
  public:
    void u8(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
    void u16(uint16_t v) {
        for (int i = 0; i < 2; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
    }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
    }
    void string(const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        bytes_ += s;
    }
    void loop(const BytecodeForLoop& l) {
        u32(l.lineIndex);
        u32(l.bodyChunk);
    }
    const std::string& bytes() const { return bytes_; }
    std::string bytes_;
};

class Reader {
  public:
    Reader(const std::string& data, const std::string& path) : data_(data), path_(path) {}
    uint8_t u8() {
        need(1);
        return static_cast<uint8_t>(data_[at_++]);
    }
    uint16_t u16() {
        need(2);
        uint16_t v = uint16_t(uint8_t(data_[at_]) | uint8_t(data_[at_ + 1]) << 8);
        at_ += 2;
        return v;
    }
    uint32_t u32() {
        need(4);
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | uint8_t(data_[at_ + i]);
        at_ += 4;
        return v;
    }
    std::string string() {
        uint32_t size = u32();
        need(size);
        std::string s = data_.substr(at_, size);
        at_ += size;
        return s;
    }
    // A count of elements of at least `minimumSize` bytes each; a count the
    // remaining data cannot hold is truncation, found before allocating.
    uint32_t count(size_t minimumSize) {
        uint32_t n = u32();
        if (minimumSize > 0 && n > (data_.size() - at_) / minimumSize) truncated();
        return n;
    }
    BytecodeForLoop loop() {
        BytecodeForLoop l;
        l.lineIndex = u32();
        l.bodyChunk = u32();
        return l;
    }
    void need(size_t n) {
        if (data_.size() - at_ < n) truncated();
    }
    [[noreturn]] void truncated() { throw std::runtime_error("Invalid bytecode file (truncated): " + path_); }

  private:
    const std::string& data_;
    const std::string& path_;
    size_t at_ = 0;
};

} // namespace

bool ScriptEngine::isBytecode(const std::string& data) {
    return data.size() >= 4 && data.compare(0, 4, magic, 4) == 0;
}

void ScriptEngine::saveBytecode(const BytecodeProgram& program, const std::string& path) {
    Writer w;
    for (char c : magic) w.u8(static_cast<uint8_t>(c));
    w.u16(BytecodeVersion);
    w.string(program.scriptDirectory);
    w.string(program.scriptPath);
    w.u32(static_cast<uint32_t>(program.lines.size()));
    for (const ParsedScriptLine& line : program.lines) {
        w.string(line.text);
        w.u32(static_cast<uint32_t>(line.lineNumber));
        w.u32(static_cast<uint32_t>(line.tokens.size()));
        for (const std::string& token : line.tokens) w.string(token);
    }
    w.u32(static_cast<uint32_t>(program.instructions.size()));
    for (const Instruction& i : program.instructions) {
        w.u8(i.opcode);
        w.u32(i.operand);
        w.u32(i.operand2);
    }
    w.u32(static_cast<uint32_t>(program.chunks.size()));
    for (const BytecodeChunk& c : program.chunks) {
        w.u32(c.firstInstruction);
        w.u32(c.instructionCount);
        w.u8(c.needsScope);
    }
    w.u32(static_cast<uint32_t>(program.ifGroups.size()));
    for (const BytecodeIfGroup& group : program.ifGroups) {
        w.u32(static_cast<uint32_t>(group.branches.size()));
        for (const BytecodeIfBranch& b : group.branches) {
            w.u32(b.lineIndex);
            w.u32(b.bodyChunk);
            w.u8(b.isElse);
        }
    }
    for (const auto* loops :
         {&program.whileLoops, &program.repeatLoops, &program.numericFors, &program.genericFors}) {
        w.u32(static_cast<uint32_t>(loops->size()));
        for (const BytecodeForLoop& l : *loops) w.loop(l);
    }
    w.u32(static_cast<uint32_t>(program.functionDecls.size()));
    for (const BytecodeFunctionDecl& d : program.functionDecls) {
        w.u32(d.lineIndex);
        w.u32(d.bodyChunk);
        w.u32(d.bodyFirstLine);
        w.u32(d.bodyEndLine);
        w.string(d.scriptDirectory);
        w.string(d.scriptPath);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("Failed to open bytecode file for writing: " + path);
    out.write(w.bytes().data(), static_cast<std::streamsize>(w.bytes().size()));
}

std::shared_ptr<BytecodeProgram> ScriptEngine::loadBytecode(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("Failed to open bytecode file for reading: " + path);
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0) throw std::runtime_error("Failed to size bytecode file: " + path);
    in.seekg(0, std::ios::beg);
    std::string data(static_cast<size_t>(size), '\0');
    if (!in.read(data.data(), size))
        throw std::runtime_error("Invalid bytecode file (truncated data): " + path);
    return loadBytecodeFromMemory(data, path);
}

std::shared_ptr<BytecodeProgram> ScriptEngine::loadBytecodeFromMemory(const std::string& data,
                                                                      const std::string& path) {
    Reader r(data, path);
    r.need(4);
    if (!isBytecode(data)) throw std::runtime_error("Invalid bytecode file (bad magic): " + path);
    for (int i = 0; i < 4; ++i) r.u8();
    auto program = std::make_shared<BytecodeProgram>();
    program->version = r.u16();
    const uint16_t version = program->version;
    if (version < 4 || version > 6)
        throw std::runtime_error("Unsupported bytecode version: " + std::to_string(version));
    program->scriptDirectory = r.string();
    if (version >= 5) program->scriptPath = r.string();

    program->lines.resize(r.count(8));
    for (size_t i = 0; i < program->lines.size(); ++i) {
        ParsedScriptLine& line = program->lines[i];
        line.text = r.string();
        line.lineNumber = version >= 6 ? r.u32() : i;
        line.tokens.resize(r.count(4));
        for (std::string& token : line.tokens) token = r.string();
        line.tokenInfo.reserve(line.tokens.size());
        for (const std::string& token : line.tokens) line.tokenInfo.push_back(analyseToken(token));
    }
    prepareParsedLines(program->lines);

    program->instructions.resize(r.count(9));
    for (Instruction& i : program->instructions) {
        i.opcode = r.u8();
        i.operand = r.u32();
        i.operand2 = r.u32();
    }
    program->chunks.resize(r.count(9));
    for (BytecodeChunk& c : program->chunks) {
        c.firstInstruction = r.u32();
        c.instructionCount = r.u32();
        c.needsScope = r.u8() != 0;
    }
    program->ifGroups.resize(r.count(4));
    for (BytecodeIfGroup& group : program->ifGroups) {
        group.branches.resize(r.count(9));
        for (BytecodeIfBranch& b : group.branches) {
            b.lineIndex = r.u32();
            b.bodyChunk = r.u32();
            b.isElse = r.u8() != 0;
        }
    }
    for (auto* loops :
         {&program->whileLoops, &program->repeatLoops, &program->numericFors, &program->genericFors}) {
        loops->resize(r.count(8));
        for (BytecodeForLoop& l : *loops) l = r.loop();
    }
    program->functionDecls.resize(r.count(20));
    for (BytecodeFunctionDecl& d : program->functionDecls) {
        d.lineIndex = r.u32();
        d.bodyChunk = r.u32();
        d.bodyFirstLine = r.u32();
        d.bodyEndLine = r.u32();
        d.scriptDirectory = r.string();
        if (version >= 5) d.scriptPath = r.string();
    }
    return program;
}
