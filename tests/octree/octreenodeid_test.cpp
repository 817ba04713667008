#include "octree/octreenodeid.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace {

using Octree::OctreeNodeId;

TEST(OctreeNodeId, RootAndChildrenNavigate)
{
    OctreeNodeId const root;
    EXPECT_TRUE(root.isRoot());
    EXPECT_EQ(root.level(), 0u);
    OctreeNodeId const child = root.child(5).child(2);
    EXPECT_EQ(child.level(), 2u);
    EXPECT_EQ(child.childIndex(), 2u);
    EXPECT_EQ(child.parent(), root.child(5));
    EXPECT_EQ(child.parent().parent(), root);
    EXPECT_EQ(child.name(), "r52");
}

TEST(OctreeNodeId, CellsRoundTripWithChildIndexBitsXyz)
{
    // Child 5 = binary 101: upper half in x and z.
    EXPECT_EQ(OctreeNodeId().child(5).cell(), (std::array<std::uint32_t, 3>{1, 0, 1}));
    OctreeNodeId const id = OctreeNodeId::fromCell(3, 5, 2, 7);
    EXPECT_EQ(id.level(), 3u);
    EXPECT_EQ(id.cell(), (std::array<std::uint32_t, 3>{5, 2, 7}));
}

TEST(OctreeNodeId, DeepestLevelFitsAndGoesNoDeeper)
{
    OctreeNodeId id;
    for (unsigned level = 0; level < OctreeNodeId::kMaxLevel; ++level)
        id = id.child(7);
    EXPECT_EQ(id.level(), OctreeNodeId::kMaxLevel);
    EXPECT_EQ(id.cell()[0], (1u << OctreeNodeId::kMaxLevel) - 1);
    EXPECT_THROW(id.child(0), std::logic_error);
}

TEST(OctreeNodeId, SortsLevelByLevelAndHashesDistinctly)
{
    OctreeNodeId const root;
    EXPECT_LT(root, root.child(0));
    EXPECT_LT(root.child(7), root.child(0).child(0));
    std::hash<OctreeNodeId> const hash;
    EXPECT_NE(hash(root.child(1)), hash(root.child(2)));
}

} // namespace
