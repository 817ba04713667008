#include "core/instanceid.h"

#include <gtest/gtest.h>

namespace {

struct SceneNode : Core::InstanceId<SceneNode> {};
struct View : Core::InstanceId<View> {};

TEST(InstanceIdTest, ConsecutiveIdsPerClassAndCopiesKeepTheirs)
{
    SceneNode const first;
    View const view;
    SceneNode const second;
    View const secondView;
    EXPECT_EQ(second.id(), first.id() + 1) << "other classes count on their own";
    EXPECT_EQ(secondView.id(), view.id() + 1);

    SceneNode assigned;
    assigned = second;
    EXPECT_EQ(SceneNode(first).id(), first.id());
    EXPECT_EQ(assigned.id(), second.id());
}

} // namespace
