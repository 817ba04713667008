#include "math/classificationinfo.h"

#include <fmt/format.h>

#include <random>
#include <stdexcept>

namespace Math {

namespace {

constexpr std::uint32_t kRandomColorSeed = 0x5EED;
constexpr std::uint8_t kVisibleAlpha = 255;
constexpr std::uint8_t kHiddenAlpha = 0;

void checkClassCount(std::size_t count)
{
    if (count > ClassificationInfo::kMaxClassCount)
        throw std::invalid_argument(
            fmt::format("classification supports at most {} classes, got {}", ClassificationInfo::kMaxClassCount, count));
}

} // namespace

ClassificationInfo::ClassificationInfo(std::vector<ClassStyle> classes) : mClasses(std::move(classes))
{
    checkClassCount(mClasses.size());
}

ClassificationInfo ClassificationInfo::randomColoredClasses(std::size_t count)
{
    checkClassCount(count);
    // mt19937 output is fixed by the standard; the byte is taken from it directly because
    // distributions differ between standard libraries.
    std::mt19937 generator(kRandomColorSeed);
    auto randomByte = [&generator] { return static_cast<std::uint8_t>(generator() >> 24); };
    std::vector<ClassStyle> classes(count);
    for (ClassStyle& style : classes) {
        std::uint8_t const r = randomByte();
        std::uint8_t const g = randomByte();
        std::uint8_t const b = randomByte();
        style.color = Color(r, g, b);
    }
    return ClassificationInfo(std::move(classes));
}

Color ClassificationInfo::color(std::size_t classIndex) const { return mClasses.at(classIndex).color; }

bool ClassificationInfo::isVisible(std::size_t classIndex) const { return mClasses.at(classIndex).visible; }

void ClassificationInfo::setColor(std::size_t classIndex, Color color) { mClasses.at(classIndex).color = color; }

void ClassificationInfo::setVisible(std::size_t classIndex, bool visible) { mClasses.at(classIndex).visible = visible; }

std::vector<std::uint8_t> ClassificationInfo::toRawTextureData() const
{
    std::vector<std::uint8_t> texels(kMaxClassCount * kBytesPerTexel, 0);
    for (std::size_t i = 0; i < mClasses.size(); ++i) {
        std::uint8_t* texel = texels.data() + i * kBytesPerTexel;
        texel[0] = mClasses[i].color.r();
        texel[1] = mClasses[i].color.g();
        texel[2] = mClasses[i].color.b();
        texel[3] = mClasses[i].visible ? kVisibleAlpha : kHiddenAlpha;
    }
    return texels;
}

} // namespace Math
