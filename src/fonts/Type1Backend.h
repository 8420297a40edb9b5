// PostScript Type 1 fonts in PFB and PFA form: decryption, the private
// dictionary and a line-drawing subset of the charstring language.
#pragma once

#include "ttf.h"

#include <array>
#include <string>

namespace bv::fonts {

// The published Type 1 encryption: r = key, then for each byte
// plain = cipher ^ (r >> 8), r = (cipher + r) * 52845 + 22719.
constexpr uint16_t eexecKey = 55665;
constexpr uint16_t charstringKey = 4330;
std::vector<uint8_t> decrypt_type1(const uint8_t* data, size_t size, uint16_t key, size_t skip);
// lenIV below 1 drops nothing.
std::vector<uint8_t> decrypt_charstring(const std::vector<uint8_t>& bytes, int lenIV);

using Subroutines = std::vector<std::vector<uint8_t>>;

// Runs one glyph's charstring into an outline, in pixels with y up.
class Type1Interpreter {
  public:
    Type1Interpreter(const Subroutines& subrs, double scale) : subrs_(subrs), scale_(scale) {}
    // False when the charstring fails: an operator outside the subset, a
    // stack error, a missing subroutine or calls nested too deep.
    bool execute(const std::vector<uint8_t>& charstring, int depth);
    const OutlineBuilder& builder() const { return builder_; }
    double advance() const { return width_ * scale_; }

  private:
    enum class Step { next, returned, failed };
    Step runOperator(const std::vector<uint8_t>& code, size_t& pos, int depth);
    Step runEscape(uint8_t op);
    Step callOtherSubr();
    bool push(double v);
    bool has(size_t count) const { return stackSize_ >= count; }
    double arg(size_t i) const { return stack_[i]; }
    Point scaled(Point p) const { return {p.x * scale_, p.y * scale_}; }
    void moveBy(double dx, double dy);
    void lineBy(double dx, double dy);
    bool endFlex();

    const Subroutines& subrs_;
    double scale_;
    std::array<double, 24> stack_{};
    size_t stackSize_ = 0;
    std::vector<double> otherSubrResults_; // taken by pop, last first
    Point current_;
    double width_ = 0;
    OutlineBuilder builder_;
    bool ended_ = false;
    bool flexing_ = false;
    Point flexStart_;
    std::vector<Point> flexPoints_;
    int operationsLeft_ = 1 << 16; // against subroutines that call each other many times
};

class Type1Backend : public FontBackend {
  public:
    bool load(std::vector<uint8_t> bytes) override;
    GlyphBitmap rasterize(uint32_t codepoint, double scale) override;
    double units_per_em() const override { return 1000; }
    double ascent() const override { return ascent_; }
    double descent() const override { return descent_; }
    double line_gap() const override { return 0; }
    bool metric_rounding() const override { return true; }

    std::string glyph_name_for_codepoint(uint32_t codepoint) const;

  private:
    void parseClearText(const std::vector<uint8_t>& clear);
    bool parsePrivate(const std::vector<uint8_t>& plain);

    double ascent_ = 800;
    double descent_ = 200;
    int lenIV_ = 4;
    Subroutines subrs_;
    std::unordered_map<std::string, std::vector<uint8_t>> charStrings_;
    std::unordered_map<uint32_t, std::string> encoding_; // the font's own, when it has one
};

} // namespace bv::fonts
