#include "math/classificationinfo.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using Math::ClassificationInfo;
using Math::Color;

TEST(ClassificationInfo, RandomClassesAreVisibleOpaqueDistinctAndReproducible)
{
    auto const info = ClassificationInfo::randomColoredClasses(256);
    std::set<std::uint32_t> distinct;
    for (std::size_t i = 0; i < info.classCount(); ++i) {
        EXPECT_TRUE(info.isVisible(i));
        EXPECT_EQ(info.color(i).a(), 255);
        distinct.insert(info.color(i).packed());
    }
    EXPECT_GT(distinct.size(), 200u);
    EXPECT_EQ(info, ClassificationInfo::randomColoredClasses(256));
}

TEST(ClassificationInfo, RawTextureDataIsRgbaWithVisibilityInAlphaAndClassesBeyondCountHidden)
{
    auto info = ClassificationInfo::randomColoredClasses(10);
    info.setColor(2, Color(10, 20, 30));
    info.setVisible(3, false);
    auto const texels = info.toRawTextureData();
    ASSERT_EQ(texels.size(), 1024u);
    EXPECT_EQ((std::vector<int>(texels.begin() + 8, texels.begin() + 12)), (std::vector<int>{10, 20, 30, 255}));
    EXPECT_EQ(texels[15], 0);
    EXPECT_EQ(texels[9 * 4 + 2], info.color(9).b());
    EXPECT_EQ(texels[9 * 4 + 3], 255);
    for (std::size_t i = 10; i < 256; ++i)
        EXPECT_EQ(texels[i * 4 + 3], 0) << "class " << i;
}

TEST(ClassificationInfo, EqualityNoticesOneClassAndMisuseThrowsKeepingTheTable)
{
    auto const original = ClassificationInfo::randomColoredClasses(256);
    auto changed = original;
    changed.setVisible(17, false);
    EXPECT_NE(changed, original);
    changed.setVisible(17, true);
    EXPECT_EQ(changed, original);
    changed.setColor(200, Color(1, 1, 1));
    EXPECT_NE(changed, original);

    EXPECT_THROW(ClassificationInfo::randomColoredClasses(257), std::invalid_argument);
    auto info = ClassificationInfo::randomColoredClasses(4);
    auto const before = info;
    EXPECT_THROW(info.setVisible(4, false), std::out_of_range);
    EXPECT_THROW(info.color(4), std::out_of_range);
    EXPECT_EQ(info, before);
}

} // namespace
