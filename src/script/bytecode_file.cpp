// Bytecode files: a compiled program with its source lines, little-endian,
// under the magic "BSBC". Line analysis is never stored; loading rebuilds it.
#include "ScriptEngine.h"

#include <fstream>

namespace {

const char magic[4] = {'B', 'S', 'B', 'C'};

// Writer and Reader share one vocabulary, so that `transfer` below spells the
// file's layout once for both directions: each call writes its field, or
// reads it into the field.
class Writer {
  public:
    static constexpr uint16_t version = BytecodeVersion;
    template <class T> void u8(const T& v) { bytes_.push_back(static_cast<char>(v)); }
    template <class T> void u16(const T& v) { little(v, 2); }
    template <class T> void u32(const T& v) { little(v, 4); }
    void string(const std::string& s) {
        u32(s.size());
        bytes_ += s;
    }
    template <class T, class Each> void sequence(const std::vector<T>& items, size_t, Each each) {
        u32(items.size());
        for (const T& item : items) each(item);
    }
    const std::string& bytes() const { return bytes_; }

  private:
    void little(uint64_t v, int size) {
        for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<char>(v >> (8 * i)));
    }
    std::string bytes_;
};

class Reader {
  public:
    Reader(const std::string& data, const std::string& path) : data_(data), path_(path) {}
    uint16_t version = 0;
    template <class T> void u8(T& v) { v = static_cast<T>(little(1)); }
    template <class T> void u16(T& v) { v = static_cast<T>(little(2)); }
    template <class T> void u32(T& v) { v = static_cast<T>(little(4)); }
    void string(std::string& s) {
        const uint32_t size = static_cast<uint32_t>(little(4));
        need(size);
        s = data_.substr(at_, size);
        at_ += size;
    }
    // Items of at least `minimumSize` bytes each; a count the remaining data
    // cannot hold is truncation, found before allocating.
    template <class T, class Each> void sequence(std::vector<T>& items, size_t minimumSize, Each each) {
        const uint32_t n = static_cast<uint32_t>(little(4));
        if (n > (data_.size() - at_) / minimumSize) truncated();
        items.resize(n);
        for (T& item : items) each(item);
    }
    void skip(size_t n) {
        need(n);
        at_ += n;
    }

  private:
    uint32_t little(int size) {
        need(static_cast<size_t>(size));
        uint32_t v = 0;
        for (int i = size - 1; i >= 0; --i) v = v << 8 | uint8_t(data_[at_ + i]);
        at_ += static_cast<size_t>(size);
        return v;
    }
    void need(size_t n) {
        if (data_.size() - at_ < n) truncated();
    }
    [[noreturn]] void truncated() { throw std::runtime_error("Invalid bytecode file (truncated): " + path_); }

    const std::string& data_;
    const std::string& path_;
    size_t at_ = 0;
};

// A program after its magic and version, through a Writer (`Program` const)
// or a Reader. Fields that came with a later version are moved only from it on.
template <class IO, class Program> void transfer(IO& io, Program& program) {
    io.string(program.scriptDirectory);
    if (io.version >= 5) io.string(program.scriptPath);
    io.sequence(program.lines, 8, [&](auto& line) {
        io.string(line.text);
        if (io.version >= 6) io.u32(line.lineNumber);
        io.sequence(line.tokens, 4, [&](auto& token) { io.string(token); });
    });
    io.sequence(program.instructions, 9, [&](auto& i) {
        io.u8(i.opcode);
        io.u32(i.operand);
        io.u32(i.operand2);
    });
    io.sequence(program.chunks, 9, [&](auto& c) {
        io.u32(c.firstInstruction);
        io.u32(c.instructionCount);
        io.u8(c.needsScope);
    });
    io.sequence(program.ifGroups, 4, [&](auto& group) {
        io.sequence(group.branches, 9, [&](auto& b) {
            io.u32(b.lineIndex);
            io.u32(b.bodyChunk);
            io.u8(b.isElse);
        });
    });
    for (auto* loops :
         {&program.whileLoops, &program.repeatLoops, &program.numericFors, &program.genericFors})
        io.sequence(*loops, 8, [&](auto& l) {
            io.u32(l.lineIndex);
            io.u32(l.bodyChunk);
        });
    io.sequence(program.functionDecls, 20, [&](auto& d) {
        io.u32(d.lineIndex);
        io.u32(d.bodyChunk);
        io.u32(d.bodyFirstLine);
        io.u32(d.bodyEndLine);
        io.string(d.scriptDirectory);
        if (io.version >= 5) io.string(d.scriptPath);
    });
}

} // namespace

bool ScriptEngine::isBytecode(const std::string& data) {
    return data.size() >= 4 && data.compare(0, 4, magic, 4) == 0;
}

void ScriptEngine::saveBytecode(const BytecodeProgram& program, const std::string& path) {
    Writer w;
    for (char c : magic) w.u8(c);
    w.u16(Writer::version);
    transfer(w, program);
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
    r.skip(4);
    if (!isBytecode(data)) throw std::runtime_error("Invalid bytecode file (bad magic): " + path);
    auto program = std::make_shared<BytecodeProgram>();
    r.u16(program->version);
    r.version = program->version;
    if (r.version < 4 || r.version > 6)
        throw std::runtime_error("Unsupported bytecode version: " + std::to_string(r.version));
    transfer(r, *program);
    if (r.version < 6)
        for (size_t i = 0; i < program->lines.size(); ++i) program->lines[i].lineNumber = i;
    prepareParsedLines(program->lines);
    return program;
}
