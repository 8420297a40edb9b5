// Feeds arbitrary bytes to the model file reader, checks that what it keeps
// comes back unchanged from its own file text, and trains and generates on
// the same bytes at a few orders.
#include "TextModel.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const AIModel model = aiModelFromText(bytes);
    const std::string text = aiModelText(model);
    if (text.size() > size || !(aiModelFromText(text) == model)) std::abort();
    const std::string seed(bytes.substr(0, 4));
    for (int32_t order : {0, 1, 3, 9}) {
        const AIModel trained = aiTrainModel(bytes, order);
        if (aiGenerateTextImpl(true, seed, trained, 64, true, ",", order).size() > seed.size() + 64)
            std::abort();
        if (aiGenerateTextImpl(false, "", model, 64, false, "", order).size() > size + 64) std::abort();
    }
    return 0;
}
