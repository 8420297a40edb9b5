// Font: loading fonts, changing their size, and text rendered into images.
#include "TesselImage.h"
#include "font_layer.h"
#include "modules.h"

namespace {

Variable renderText(const std::vector<Variable>& args) {
    const char* name = "Font.renderText";
    std::string text = stringArg(args, 0, name, "text");
    void* font = pointerValue(requireArg(args, 1, name), name, "font");
    int32_t red = intArg(args, 2, name, "r"), green = intArg(args, 3, name, "g"),
            blue = intArg(args, 4, name, "b");
    int32_t alpha = intArg(args, 5, name, "a");
    TesselImage* image = bv_font_render(font, text.c_str(), red, green, blue, alpha);
    if (!image) return Variable();
    return Variable::pointer(registerLiveImage(std::unique_ptr<TesselImage>(image)));
}

Variable resizeFont(const std::vector<Variable>& args) {
    void* font = pointerValue(requireArg(args, 0, "Font.resizeFont"), "Font.resizeFont", "font");
    bv_font_resize(font, numberArg(args, 1, "Font.resizeFont", "size"));
    return Variable();
}

Variable killFont(const std::vector<Variable>& args) {
    bv_font_free(pointerValue(requireArg(args, 0, "Font.killFont"), "Font.killFont", "font"));
    return Variable();
}

Variable loadFont(const std::vector<Variable>& args) {
    std::string path = stringArg(args, 0, "Font.loadFont", "path");
    BvFont font = bv_font_load(path.c_str(), numberArg(args, 1, "Font.loadFont", "size"));
    return font ? Variable::pointer(font) : Variable();
}

} // namespace

HostMembers fontMembers() {
    return {{"renderText", renderText},
            {"resizeFont", resizeFont},
            {"killFont", killFont},
            {"loadFont", loadFont}};
}
