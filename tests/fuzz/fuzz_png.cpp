// libFuzzer target: any byte string handed to the PNG reader must give a
// clean true or false, never a crash, a hang or a leak.
#include "png.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void decode_and_check(const uint8_t* data, size_t size) {
    bv::png::Image image;
    if (bv::png::decode_memory(data, size, image)) {
        if (image.pixels.size() != size_t(image.width) * image.height * 4) std::abort();
    } else if (image.width || image.height || !image.pixels.empty()) {
        std::abort(); // a failure must leave the image empty
    }
}

// Mutations nearly always break a chunk CRC, which stops the reader at its
// first check. A copy with every CRC repaired lets them reach inflate,
// unfiltering and conversion.
std::vector<uint8_t> with_repaired_crcs(const uint8_t* data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    for (size_t pos = 8; size - pos >= 12;) {
        const uint32_t length =
            uint32_t(copy[pos]) << 24 | copy[pos + 1] << 16 | copy[pos + 2] << 8 | copy[pos + 3];
        if (length > size - pos - 12) break;
        const uint32_t crc =
            bv::png::crc32_update(0xFFFFFFFFu, &copy[pos + 4], 4 + size_t(length)) ^ 0xFFFFFFFFu;
        uint8_t* out = &copy[pos + 8 + length];
        out[0] = uint8_t(crc >> 24);
        out[1] = uint8_t(crc >> 16);
        out[2] = uint8_t(crc >> 8);
        out[3] = uint8_t(crc);
        pos += 12 + size_t(length);
    }
    return copy;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decode_and_check(data, size);
    if (size >= 8) {
        const std::vector<uint8_t> repaired = with_repaired_crcs(data, size);
        decode_and_check(repaired.data(), repaired.size());
    }
    return 0;
}
