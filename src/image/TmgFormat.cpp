#include "TmgFormat.h"

#include <cstdio>
#include <cstring>

namespace {

bool writeInt64(std::FILE* file, int64_t value) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = uint8_t(uint64_t(value) >> (8 * i));
    return std::fwrite(bytes, 1, 8, file) == 8;
}

bool writeBlock(std::FILE* file, int32_t width, int32_t height, const uint8_t* pixels) {
    bool ok = writeInt64(file, width) && writeInt64(file, height);
    size_t bytes = width > 0 && height > 0 && pixels ? size_t(width) * size_t(height) * 4 : 0;
    return ok && (bytes == 0 || std::fwrite(pixels, 1, bytes, file) == bytes);
}

// Reads the file through a count of the bytes still unread, so that a size
// field promising more than the file holds is refused before anything of that
// size is allocated.
class TmgReader {
  public:
    explicit TmgReader(std::FILE* file) : file_(file) {
        if (std::fseek(file, 0, SEEK_END) == 0) {
            long size = std::ftell(file);
            remaining_ = size > 0 ? uint64_t(size) : 0;
        }
        if (std::fseek(file, 0, SEEK_SET) != 0) remaining_ = 0;
    }

    // Only the low 32 bits of each stored size count.
    bool readSize(int32_t& value) {
        uint8_t bytes[8];
        if (!readBytes(bytes, 8)) return false;
        uint32_t low = 0;
        for (int i = 0; i < 4; ++i) low |= uint32_t(bytes[i]) << (8 * i);
        value = int32_t(low);
        return true;
    }

    // A block of width x height pixels; a zero-sized block is an empty array.
    bool readPixels(int32_t width, int32_t height, std::unique_ptr<uint8_t[]>& pixels) {
        if (width < 0 || height < 0) return false;
        uint64_t bytes = uint64_t(width) * uint64_t(height) * 4;
        if (bytes > remaining_) return false;
        pixels = std::make_unique<uint8_t[]>(size_t(bytes));
        return readBytes(pixels.get(), size_t(bytes));
    }

  private:
    bool readBytes(uint8_t* out, size_t count) {
        if (count > remaining_ || std::fread(out, 1, count, file_) != count) return false;
        remaining_ -= count;
        return true;
    }

    std::FILE* file_;
    uint64_t remaining_ = 0;
};

} // namespace

bool hasTMGExtension(const char* name) {
    if (!name) return false;
    size_t length = std::strlen(name);
    return length >= 4 && std::strcmp(name + length - 4, ".tmg") == 0;
}

bool saveTesselImage(const TesselImage* image, const char* path) {
    if (!image || !hasTMGExtension(path)) return false;
    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    bool hasMap = image->reflectionPixels != nullptr;
    bool ok = writeBlock(file, image->width, image->height, image->pixels.get()) &&
              writeBlock(file, hasMap ? image->reflectionWidth : 0, hasMap ? image->reflectionHeight : 0,
                         image->reflectionPixels.get());
    ok = ok && std::fflush(file) == 0;
    std::fclose(file);
    return ok;
}

TesselImage* loadTesselImage(const char* path) {
    if (!hasTMGExtension(path)) return nullptr;
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    auto image = std::make_unique<TesselImage>();
    TmgReader reader(file);
    bool ok = reader.readSize(image->width) && reader.readSize(image->height) &&
              reader.readPixels(image->width, image->height, image->pixels) &&
              reader.readSize(image->reflectionWidth) && reader.readSize(image->reflectionHeight) &&
              reader.readPixels(image->reflectionWidth, image->reflectionHeight, image->reflectionPixels);
    std::fclose(file);
    if (!ok) return nullptr;
    // An empty map is no map, for every reader of the record.
    if (int64_t(image->reflectionWidth) * image->reflectionHeight == 0) image->reflectionPixels.reset();
    return registerLiveImage(std::move(image));
}
