// Helpers of the core tests: the message of an error, and files in a fresh folder.
#pragma once

#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>

// The message `f` throws, or "no error" when it throws nothing.
inline std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

// A folder of its own under the temporary one, removed with all it holds.
class TempFolder {
  public:
    TempFolder() { std::filesystem::create_directories(path_); }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    // Writes `text` to `relative` inside, making its folders, and returns the file's path.
    std::string write(const std::string& relative, const std::string& text) const {
        const std::filesystem::path file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }
    std::string path() const { return path_.string(); }

  private:
    static inline int next_ = 0;
    const std::filesystem::path path_ =
        std::filesystem::temp_directory_path() /
        ("bv_core_" + std::to_string(::getpid()) + "_" + std::to_string(next_++));
};
