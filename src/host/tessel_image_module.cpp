// Tessel: the image operations' bindings. Each checks its arguments and
// forwards to src/image. A pointer a script passes may be dead or foreign, so
// every image argument is looked up in the registry before it is touched.
#include "TesselImage.h"
#include "TmgFormat.h"
#include "modules.h"
#include "platform_layer.h"

namespace {

// The image argument at `index` (nil allowed): the live record, or null for
// nil and for any pointer the registry does not hold.
TesselImage* imageArg(const std::vector<Variable>& args, size_t index, const std::string& function,
                      const std::string& argName) {
    auto* image =
        static_cast<TesselImage*>(pointerValue(requireArg(args, index, function), function, argName));
    return isLiveImage(image) ? image : nullptr;
}

// As imageArg, but the record must have pixels.
TesselImage* validImageArg(const std::vector<Variable>& args, size_t index, const std::string& function,
                           const std::string& argName) {
    TesselImage* image = imageArg(args, index, function, argName);
    if (!hasPixels(image)) bindingError(function, argName + " must be a valid image");
    return image;
}

uint8_t channelArg(const std::vector<Variable>& args, size_t index, const std::string& function,
                   const std::string& argName) {
    return uint8_t(uint32_t(intArg(args, index, function, argName)));
}

Variable createImage(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.createImage";
    int32_t width = intArg(args, 0, fn, "width"), height = intArg(args, 1, fn, "height");
    Rgba colour{channelArg(args, 2, fn, "r"), channelArg(args, 3, fn, "g"), channelArg(args, 4, fn, "b"),
                channelArg(args, 5, fn, "a")};
    return Variable::pointer(createSolidColourImage(width, height, colour));
}

Variable checkImage(const std::vector<Variable>& args) {
    return Variable(cleanImage(imageArg(args, 0, "Tessel.checkImage", "image")));
}

Variable imageSize(const std::vector<Variable>& args) {
    TesselImage* image = validImageArg(args, 0, "Tessel.imageSize", "image");
    return returnValues({Variable(image->width), Variable(image->height)});
}

Variable killImage(const std::vector<Variable>& args) {
    destroyLiveImage(imageArg(args, 0, "Tessel.killImage", "image"));
    return Variable();
}

Variable saveImage(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.saveImage";
    std::string path = stringArg(args, 0, fn, "path");
    TesselImage* image = validImageArg(args, 1, fn, "image");
    bv_save_png(path.c_str(), image->pixels.get(), image->width, image->height);
    return Variable();
}

Variable loadPNG(const std::vector<Variable>& args) {
    std::string path = stringArg(args, 0, "Tessel.loadPNG", "path");
    int width = 0, height = 0;
    std::unique_ptr<uint8_t[]> pixels(bv_load_png(path.c_str(), &width, &height));
    if (!pixels) bindingError("Tessel.loadPNG", "failed to load image: " + path);
    auto image = std::make_unique<TesselImage>();
    image->width = width;
    image->height = height;
    image->pixels = std::move(pixels);
    TesselImage* record = registerLiveImage(std::move(image));
    return returnValues({Variable::pointer(record), Variable(record->height), Variable(record->width)});
}

Variable saveTesselImageBinding(const std::vector<Variable>& args) {
    const std::string fn = "Tessel.saveTesselImage";
    TesselImage* image = imageArg(args, 0, fn, "image");
    std::string path = stringArg(args, 1, fn, "path");
    return Variable(saveTesselImage(image, path.c_str()));
}

Variable loadTesselImageBinding(const std::vector<Variable>& args) {
    std::string path = stringArg(args, 0, "Tessel.loadTesselImage", "path");
    TesselImage* image = loadTesselImage(path.c_str());
    if (!image) return returnValues({Variable(), Variable(0), Variable(0)});
    return returnValues({Variable::pointer(image), Variable(image->width), Variable(image->height)});
}

} // namespace

HostMembers tesselImageMembers() {
    return {
        {"createImage", createImage},
        {"checkImage", checkImage},
        {"saveImage", saveImage},
        {"killImage", killImage},
        {"imageSize", imageSize},
        {"loadPNG", loadPNG},
        {"saveTesselImage", saveTesselImageBinding},
        {"loadTesselImage", loadTesselImageBinding},
    };
}
