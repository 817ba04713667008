#include "octree/octreenodeid.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace {

using Octree::OctreeNodeId;

TEST(OctreeNodeId, NavigatesCellsWithChildIndexBitsXyzDownToTheDeepestLevel)
{
    OctreeNodeId const root;
    OctreeNodeId const child = root.child(5).child(2);
    EXPECT_EQ(child.level(), 2u);
    EXPECT_EQ(child.childIndex(), 2u);
    EXPECT_EQ(child.parent().parent(), root);
    EXPECT_EQ(child.name(), "r52");
    // Child 5 = binary 101: upper half in x and z.
    EXPECT_EQ(root.child(5).cell(), (std::array<std::uint32_t, 3>{1, 0, 1}));
    EXPECT_EQ(OctreeNodeId::fromCell(3, 5, 2, 7).cell(), (std::array<std::uint32_t, 3>{5, 2, 7}));
    EXPECT_EQ(OctreeNodeId::fromCell(3, 5, 2, 7).level(), 3u);

    OctreeNodeId deepest;
    for (unsigned level = 0; level < OctreeNodeId::kMaxLevel; ++level)
        deepest = deepest.child(7);
    EXPECT_EQ(deepest.cell()[0], (1u << OctreeNodeId::kMaxLevel) - 1);
    EXPECT_THROW(deepest.child(0), std::logic_error);

    // Sorted level by level, hashed apart.
    EXPECT_LT(root, root.child(0));
    EXPECT_LT(root.child(7), root.child(0).child(0));
    EXPECT_NE(std::hash<OctreeNodeId>()(root.child(1)), std::hash<OctreeNodeId>()(root.child(2)));
}

} // namespace
