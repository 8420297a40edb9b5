// Tessel: the image operations' bindings. Each checks its arguments and
// forwards to src/image. A pointer a script passes may be dead or foreign, so
// every image argument is looked up in the registry before it is touched.
#include "Compositing.h"
#include "PixelOps.h"
#include "RowBands.h"
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
    static const std::string fn = "Tessel.createImage";
    int32_t width = intArg(args, 0, fn, "width"), height = intArg(args, 1, fn, "height");
    Rgba colour{channelArg(args, 2, fn, "r"), channelArg(args, 3, fn, "g"), channelArg(args, 4, fn, "b"),
                channelArg(args, 5, fn, "a")};
    return Variable::pointer(createSolidColourImage(width, height, colour));
}

Variable checkImage(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.checkImage";
    return Variable(cleanImage(imageArg(args, 0, fn, "image")));
}

Variable imageSize(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.imageSize";
    TesselImage* image = validImageArg(args, 0, fn, "image");
    return returnValues({Variable(image->width), Variable(image->height)});
}

Variable killImage(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.killImage";
    destroyLiveImage(imageArg(args, 0, fn, "image"));
    return Variable();
}

Variable saveImage(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.saveImage";
    std::string path = stringArg(args, 0, fn, "path");
    TesselImage* image = validImageArg(args, 1, fn, "image");
    bv_save_png(path.c_str(), image->pixels.get(), image->width, image->height);
    return Variable();
}

Variable loadPNG(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.loadPNG";
    std::string path = stringArg(args, 0, fn, "path");
    int width = 0, height = 0;
    std::unique_ptr<uint8_t[]> pixels(bv_load_png(path.c_str(), &width, &height));
    if (!pixels) bindingError(fn, "failed to load image: " + path);
    auto image = std::make_unique<TesselImage>();
    image->width = width;
    image->height = height;
    image->pixels = std::move(pixels);
    TesselImage* record = registerLiveImage(std::move(image));
    if (bv_png_requires_postprocess()) processTesselImagePixels(record, unpremultiplyProcessor, 0, 0, 0, 0);
    return returnValues({Variable::pointer(record), Variable(record->height), Variable(record->width)});
}

Variable saveTesselImageBinding(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.saveTesselImage";
    TesselImage* image = imageArg(args, 0, fn, "image");
    std::string path = stringArg(args, 1, fn, "path");
    return Variable(saveTesselImage(image, path.c_str()));
}

Variable loadTesselImageBinding(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.loadTesselImage";
    std::string path = stringArg(args, 0, fn, "path");
    TesselImage* image = loadTesselImage(path.c_str());
    if (!image) return returnValues({Variable(), Variable(0), Variable(0)});
    return returnValues({Variable::pointer(image), Variable(image->width), Variable(image->height)});
}

Variable mirrorImage(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.mirrorImage";
    TesselImage* image = validImageArg(args, 0, fn, "image");
    mirrorTesselImage(image, flagValue(requireArg(args, 1, fn)));
    return Variable();
}

Variable trimImage(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.trimImage";
    TesselImage* image = imageArg(args, 0, fn, "image");
    int32_t width = intArg(args, 1, fn, "width"), height = intArg(args, 2, fn, "height");
    trimTesselImage(image, width, height);
    return Variable();
}

Variable modifyImage(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.modifyImage";
    TesselImage* image = validImageArg(args, 0, fn, "image");
    int32_t processor = intArg(args, 1, fn, "processor");
    float r = float(numberArg(args, 2, fn, "r")), g = float(numberArg(args, 3, fn, "g"));
    float b = float(numberArg(args, 4, fn, "b")), a = float(numberArg(args, 5, fn, "a"));
    processTesselImagePixels(image, processor, r / 255, g / 255, b / 255, a / 255);
    return Variable();
}

Variable bilinear(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.bilinear";
    TesselImage* image = imageArg(args, 0, fn, "image");
    upscaleTesselImage(image, float(numberArg(args, 1, fn, "factor")));
    return Variable();
}

Variable bilinearSolid(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.bilinearSolid";
    bilinearInPlace(imageArg(args, 0, fn, "image"), step);
    return Variable();
}

Variable dither(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.dither";
    TesselImage* image = imageArg(args, 0, fn, "image");
    int32_t amount = intArg(args, 1, fn, "amount");
    ditherImage(image, amount, flagValue(requireArg(args, 2, fn)));
    return Variable();
}

Variable printImage(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.printImage";
    TesselImage* image = imageArg(args, 0, fn, "image");
    int32_t width = intArg(args, 1, fn, "width"), height = intArg(args, 2, fn, "height");
    printAsciiArt(image, width, height);
    return Variable();
}

Variable skew(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.skew";
    TesselImage* input = imageArg(args, 0, fn, "input");
    TesselImage* output = imageArg(args, 1, fn, "output");
    static const char* const corners[] = {"ltx", "lty", "rtx", "rty", "lbx", "lby", "rbx", "rby"};
    int32_t c[8];
    for (size_t i = 0; i < 8; ++i) c[i] = intArg(args, i + 2, fn, corners[i]);
    skewImage(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], input, output);
    return Variable();
}

Variable blitImageBinding(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.blitImage";
    if (args.size() != 7)
        bindingError(fn, "expected 7 arguments (target, image, x, y, blend, scale, rotation)");
    TesselImage* target = imageArg(args, 0, fn, "target");
    TesselImage* source = imageArg(args, 1, fn, "image");
    int32_t x = intArg(args, 2, fn, "x"), y = intArg(args, 3, fn, "y");
    bool blend = flagValue(args[4]);
    float scale = float(numberArg(args, 5, fn, "scale")),
          rotation = float(numberArg(args, 6, fn, "rotation"));
    if (!hasPixels(target)) bindingError(fn, "target must be a valid image");
    if (!hasPixels(source)) bindingError(fn, "image must be a valid image");
    blitImage(target, source, x, y, blend, scale, rotation);
    return Variable();
}

Variable insertReflectionBinding(const std::vector<Variable>& args) {
    static const std::string fn = "Tessel.insertReflection";
    TesselImage* image = imageArg(args, 0, fn, "image");
    TesselImage* map = imageArg(args, 1, fn, "reflectmap");
    if (!hasPixels(image)) bindingError(fn, "image must be a valid image");
    if (!hasPixels(map)) bindingError(fn, "reflectmap must be a valid image");
    insertReflection(image, map);
    return Variable();
}

} // namespace

HostMembers tesselImageMembers() {
    return {
        {"printImage", printImage},
        {"dither", dither},
        {"skew", skew},
        {"bilinear", bilinear},
        {"trimImage", trimImage},
        {"bilinearSolid", bilinearSolid},
        {"createImage", createImage},
        {"checkImage", checkImage},
        {"saveImage", saveImage},
        {"blitImage", blitImageBinding},
        {"modifyImage", modifyImage},
        {"mirrorImage", mirrorImage},
        {"killImage", killImage},
        {"imageSize", imageSize},
        {"insertReflection", insertReflectionBinding},
        {"loadPNG", loadPNG},
        {"saveTesselImage", saveTesselImageBinding},
        {"loadTesselImage", loadTesselImageBinding},
    };
}
