#include "d3dtestsupport.h"
#include "recordingnode.h"

#include "render/grouprenderable.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using Calls = std::vector<std::string>;
using Render::GroupRenderable;
using Testing::RecordingNode;

class GroupTest : public RenderTest::DeviceTest {
protected:
    void initialise() { mGroup->init(7, std::make_shared<Render::Camera>(), device, context); }

    std::shared_ptr<GroupRenderable> mGroup = GroupRenderable::create("root");
};

// Children initialised with the group, or added to it later, get every setting it keeps. Finding is
// depth first in child order; removal by name reaches every level and deinitialises.
TEST_F(GroupTest, ChildrenGetEverySettingAtInitAndAreDeinitialisedOnRemoval)
{
    auto early = std::make_shared<RecordingNode>("early");
    mGroup->add(early);
    EXPECT_TRUE(early->takeCalls().empty()) << "an uninitialised group sends nothing";
    Calls const initialisedWithSettings{
        "init",           "renderMode",      "meshClipping",        "regionClipping",
        "mesh",           "clippingRegion",  "distanceColorMap",    "intensityColorMap",
        "signedDistance", "distanceRange",   "passFailRange",       "warnRange",
        "intensityRange", "plane",           "tomographicColor",    "cloudColors",
        "classification", "classVisibility", "intensityBlendFactor"};
    initialise();
    EXPECT_EQ(early->takeCalls(), initialisedWithSettings);
    EXPECT_EQ(early->initializedWith, 7u);
    auto late = std::make_shared<RecordingNode>();
    mGroup->add("late", late);
    EXPECT_EQ(late->name(), "late");
    EXPECT_EQ(late->takeCalls(), initialisedWithSettings);
    EXPECT_EQ(late->parent(), mGroup);

    auto inner = GroupRenderable::create("inner");
    auto deep = std::make_shared<RecordingNode>("target");
    auto other = GroupRenderable::create("other");
    auto deeper = std::make_shared<RecordingNode>("target");
    inner->add(std::make_shared<RecordingNode>("x"));
    other->add(deeper);
    mGroup->add(inner);
    mGroup->add(other);
    mGroup->add(std::make_shared<RecordingNode>("target"));
    inner->add(deep);
    EXPECT_EQ(mGroup->findByName("target"), deep);
    EXPECT_EQ(mGroup->findByName("missing"), nullptr);

    deep->takeCalls();
    deeper->takeCalls();
    mGroup->removeByName("target");
    EXPECT_EQ(mGroup->size(), 4u);
    EXPECT_EQ(inner->size(), 1u);
    EXPECT_EQ(other->size(), 0u);
    EXPECT_EQ(deep->takeCalls(), Calls{"deinit"});
    EXPECT_EQ(deeper->takeCalls(), Calls{"deinit"});
    mGroup->remove(mGroup->cbegin());
    EXPECT_EQ(mGroup->front(), late);
}

// Settings that only matter when they change are forwarded only then; a NaN always counts as a change.
TEST(Group, ForwardsAlwaysOrOnlyOnChangeAsTheSettingRequires)
{
    auto const group = GroupRenderable::create("root");
    auto child = std::make_shared<RecordingNode>();
    group->add(child);
    group->onUpdateDistanceColorMap(Render::ColorMap::Turbo);
    group->onUpdateDistanceColorMapRange(0.0f, 1.0f);
    group->onUpdatePlaneForDistanceColorization({Eigen::Vector3f(0, 1, 0), 0.0f});
    EXPECT_TRUE(child->takeCalls().empty());
    group->onUpdateRenderMode(Render::RenderMode::Default);
    group->onUpdatePlaneForDistanceColorization({Eigen::Vector3f(0, 1, 0), std::nanf("")});
    group->onUpdateViewMatrix(std::make_shared<Render::Camera>());
    group->onUpdatePlaneForDistanceColorization({Eigen::Vector3f(0, 1, 0), std::nanf("")});
    EXPECT_EQ(child->takeCalls(), (Calls{"renderMode", "plane", "view", "plane"}));
}

// Bounds, brightness and background combine the children; hidden children are not rendered and do not
// keep the scene redrawing; matrix and selection reach every descendant.
TEST(Group, CombinesItsChildren)
{
    auto const group = GroupRenderable::create("root");
    auto visible = std::make_shared<RecordingNode>("a");
    visible->box = {{0, 0, 0}, {1, 1, 1}};
    visible->brightnessAndContrastResult = {0.2f, 1.5f};
    auto hidden = std::make_shared<RecordingNode>("b");
    hidden->box = {{5, 5, 5}, {6, 6, 6}};
    hidden->background = Math::Color(1, 2, 3, 4);
    auto inner = GroupRenderable::create("inner");
    inner->add(hidden);
    group->add(visible);
    group->add(inner);
    group->render();
    hidden->setVisible(false);
    EXPECT_TRUE(group->needsRedraw()) << "hiding a child needs one frame to show it";

    EXPECT_EQ(group->boundingBox(), (Math::NBoundingBox<float, 3>({0, 0, 0}, {6, 6, 6})));
    EXPECT_EQ(group->backgroundColor(), Math::Color(1, 2, 3, 4));
    float brightness = 0.0f;
    float contrast = 0.0f;
    group->brightnessAndContrast(0.0f, 1.0f, brightness, contrast);
    EXPECT_FLOAT_EQ(brightness, 0.1f);
    EXPECT_FLOAT_EQ(contrast, 1.25f);
    visible->takeCalls();
    hidden->takeCalls();
    group->render();
    EXPECT_EQ(visible->takeCalls(), Calls{"render"});
    EXPECT_TRUE(hidden->takeCalls().empty()) << "hidden children are not rendered";
    hidden->setNeedsRedraw(true); // e.g. a loader finishing in the background
    group->render();
    EXPECT_FALSE(group->needsRedraw());

    Eigen::Matrix4f shift = Eigen::Matrix4f::Identity();
    shift(2, 3) = 4.0f;
    group->setMatrix(shift);
    group->setSelected(true);
    EXPECT_EQ(hidden->worldMatrix(), shift);
    EXPECT_TRUE(hidden->selected());
}

// Null nodes, cycles and groups without an owner are refused and leave the groups as they were.
TEST(Group, MisuseIsRefusedAndKeepsNothing)
{
    auto const group = GroupRenderable::create("root");
    auto inner = GroupRenderable::create("inner");
    group->add(inner);
    EXPECT_THROW(group->add(nullptr), std::invalid_argument);
    EXPECT_THROW(group->add(group), std::invalid_argument);
    EXPECT_THROW(inner->add(group), std::invalid_argument);
    EXPECT_EQ(group->size(), 1u);
    EXPECT_EQ(inner->size(), 0u);
    GroupRenderable unowned(*GroupRenderable::create("copy source"));
    EXPECT_THROW(unowned.add(std::make_shared<RecordingNode>()), std::bad_weak_ptr);
    EXPECT_TRUE(unowned.empty());
}

} // namespace
