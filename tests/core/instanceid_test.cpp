#include "core/instanceid.h"
#include "core/jobstate.h"

#include <gtest/gtest.h>

namespace {

struct SceneNode : Core::InstanceId<SceneNode> {};
struct View : Core::InstanceId<View> {};

TEST(InstanceIdTest, ConsecutiveIdsPerClassAndCopiesKeepTheirs)
{
    SceneNode const first;
    SceneNode const second;
    EXPECT_EQ(second.id(), first.id() + 1);

    View const view;
    SceneNode const third;
    EXPECT_EQ(third.id(), second.id() + 1) << "other classes count on their own";
    View const secondView;
    EXPECT_EQ(secondView.id(), view.id() + 1);

    SceneNode const copy = first;
    EXPECT_EQ(copy.id(), first.id());
    SceneNode assigned;
    assigned = second;
    EXPECT_EQ(assigned.id(), second.id());
}

TEST(JobStateTest, ValuesAreFixed)
{
    EXPECT_EQ(static_cast<int>(Core::JobState::Idle), 0);
    EXPECT_EQ(static_cast<int>(Core::JobState::Running), 1);
    EXPECT_EQ(static_cast<int>(Core::JobState::Stopped), 2);
    EXPECT_EQ(static_cast<int>(Core::JobState::Finished), 3);
    EXPECT_EQ(static_cast<int>(Core::JobState::Failed), 4);
}

} // namespace
