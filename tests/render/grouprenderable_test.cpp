#include "d3dtestsupport.h"
#include "recordingnode.h"

#include "render/grouprenderable.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace {

using Box = Math::NBoundingBox<float, 3>;
using Calls = std::vector<std::string>;
using Render::GroupRenderable;
using Testing::RecordingNode;

Eigen::Matrix4f translation(float x, float y, float z)
{
    return Eigen::Affine3f(Eigen::Translation3f(x, y, z)).matrix();
}

Eigen::Matrix4f rotationZ(float radians)
{
    return Eigen::Affine3f(Eigen::AngleAxisf(radians, Eigen::Vector3f::UnitZ())).matrix();
}

Eigen::Matrix4f scaling(float x, float y, float z)
{
    return Eigen::Affine3f(Eigen::Scaling(x, y, z)).matrix();
}

// Ids count per class and copies keep theirs; flags raise the redraw only when they change.
TEST(Renderable, IdsOnCopiesAndRedrawOnlyOnChange)
{
    RecordingNode node("node");
    RecordingNode second("second");
    EXPECT_EQ(second.id(), node.id() + 1);
    RecordingNode copy(node);
    EXPECT_EQ(copy.id(), node.id());
    copy = second;
    EXPECT_EQ(copy.id(), second.id());

    EXPECT_TRUE(node.needsRedraw());
    node.render();
    node.setMatrix(Eigen::Matrix4f::Identity());
    node.setVisible(true);
    node.setSelected(false);
    EXPECT_FALSE(node.needsRedraw()) << "unchanged values change nothing";
    node.setVisible(false);
    EXPECT_TRUE(node.needsRedraw());
    node.render();
    node.setVisible(false);
    EXPECT_FALSE(node.needsRedraw()) << "hiding twice raises the flag once";
    node.setSelected(true);
    EXPECT_TRUE(node.needsRedraw());
}

// World matrices and bounds follow the parent chain; bounds transform all eight corners. Translation
// by correspondences keeps rotation and scale; a turn maps point and direction and keeps a mirrored
// node mirrored.
TEST(Renderable, WorldMatrixBoundsAndCorrespondencesFollowTheParentChain)
{
    auto parent = std::make_shared<RecordingNode>("parent");
    RecordingNode child("child");
    child.box = Box({0, 0, 0}, {2, 1, 1});
    child.setMatrix(translation(1, 2, 3));
    EXPECT_EQ(child.worldMatrix(), child.matrix());
    parent->setMatrix(scaling(2, 2, 2));
    child.setParent(parent);
    EXPECT_TRUE(child.worldMatrix().isApprox(scaling(2, 2, 2) * translation(1, 2, 3)));
    // A cached world matrix is recomputed only after invalidation.
    parent->setMatrix(translation(0, 0, 10));
    child.invalidateWorldMatrix();
    EXPECT_TRUE(child.worldMatrix().isApprox(translation(1, 2, 13)));
    // Turned by 45 degrees, the extremes lie at corners other than the box's min and max.
    child.setMatrix(rotationZ(std::numbers::pi_v<float> / 4));
    Box const inWorld = child.boundingBoxWorld();
    float const half = std::numbers::sqrt2_v<float> / 2;
    EXPECT_TRUE(inWorld.min().isApprox(Eigen::Vector3f(-half, 0, 10), 1e-5f)) << inWorld.min().transpose();
    EXPECT_TRUE(inWorld.max().isApprox(Eigen::Vector3f(2 * half, 3 * half, 11), 1e-5f)) << inWorld.max();
    RecordingNode empty("empty");
    empty.setMatrix(rotationZ(0.3f) * translation(5, 5, 5));
    EXPECT_TRUE(empty.boundingBoxWorld().isEmpty());

    RecordingNode moving("moving");
    Eigen::Matrix4f const original = translation(1, 2, 3) * rotationZ(0.7f) * scaling(2, 3, 4);
    moving.setMatrix(original);
    moving.setTranslationByCorrespondences({1, 1, 1}, {4, -1, 2});
    Eigen::Matrix4f expected = original;
    expected.topRightCorner<3, 1>() += Eigen::Vector3f(3, -2, 1);
    EXPECT_TRUE(moving.matrix().isApprox(expected, 1e-5f)) << moving.matrix();
    // A quarter turn about `from`, then on to `to`.
    moving.setMatrix(scaling(-1, 2, 1));
    moving.setTranslationAndZRotationByCorrespondences({2, 0, 1}, {5, 5, 1}, {1, 0, 0}, {0, 1, 0});
    Eigen::Matrix4f const moved = translation(5, 5, 1) * rotationZ(std::numbers::pi_v<float> / 2) *
                                  translation(-2, 0, -1) * scaling(-1, 2, 1);
    EXPECT_TRUE(moving.matrix().isApprox(moved, 1e-5f)) << moving.matrix() << "\nvs\n" << moved;
    EXPECT_LT((moving.matrix().topLeftCorner<3, 3>().determinant()), 0.0f);
}

using GroupTest = RenderTest::DeviceTest;

// Children initialised with the group, or added to it later, get every setting it keeps. Finding is
// depth first in child order; removal by name reaches every level and deinitialises.
TEST_F(GroupTest, ChildrenGetEverySettingAtInitAndAreDeinitialisedOnRemoval)
{
    auto const group = GroupRenderable::create("root");
    auto early = std::make_shared<RecordingNode>("early");
    group->add(early);
    EXPECT_TRUE(early->takeCalls().empty()) << "an uninitialised group sends nothing";
    Calls const initialisedWithSettings{
        "init",           "renderMode",      "meshClipping",        "regionClipping",
        "mesh",           "clippingRegion",  "distanceColorMap",    "intensityColorMap",
        "signedDistance", "distanceRange",   "passFailRange",       "warnRange",
        "intensityRange", "plane",           "tomographicColor",    "cloudColors",
        "classification", "classVisibility", "intensityBlendFactor"};
    group->init(7, std::make_shared<Render::Camera>(), device, context);
    EXPECT_EQ(early->takeCalls(), initialisedWithSettings);
    EXPECT_EQ(early->initializedWith, 7u);
    auto late = std::make_shared<RecordingNode>();
    group->add("late", late);
    EXPECT_EQ(late->name(), "late");
    EXPECT_EQ(late->takeCalls(), initialisedWithSettings);

    auto inner = GroupRenderable::create("inner");
    auto deep = std::make_shared<RecordingNode>("target");
    auto other = GroupRenderable::create("other");
    auto deeper = std::make_shared<RecordingNode>("target");
    inner->add(std::make_shared<RecordingNode>("x"));
    other->add(deeper);
    group->add(inner);
    group->add(other);
    group->add(std::make_shared<RecordingNode>("target"));
    inner->add(deep);
    EXPECT_EQ(group->findByName("target"), deep);
    EXPECT_EQ(group->findByName("missing"), nullptr);

    deep->takeCalls();
    deeper->takeCalls();
    group->removeByName("target");
    EXPECT_EQ(group->size(), 4u);
    EXPECT_EQ(inner->size(), 1u);
    EXPECT_EQ(other->size(), 0u);
    EXPECT_EQ(deep->takeCalls(), Calls{"deinit"});
    EXPECT_EQ(deeper->takeCalls(), Calls{"deinit"});
    group->remove(group->cbegin());
    EXPECT_EQ(group->front(), late);
}

// Bounds, brightness and background combine the children; hidden children are not rendered and do not
// keep the scene redrawing; matrix and selection reach every descendant. Settings that only matter when
// they change are forwarded only then; a NaN always counts as a change. Null nodes, cycles and groups
// without an owner are refused and leave the groups as they were.
TEST(Group, CombinesAndForwardsToItsChildrenAndRefusesMisuse)
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

    EXPECT_EQ(group->boundingBox(), Box({0, 0, 0}, {6, 6, 6}));
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

    group->setMatrix(translation(0, 0, 4));
    group->setSelected(true);
    EXPECT_EQ(hidden->worldMatrix(), translation(0, 0, 4));
    EXPECT_TRUE(hidden->selected());

    visible->takeCalls();
    group->onUpdateDistanceColorMap(Render::ColorMap::Turbo);
    group->onUpdateDistanceColorMapRange(0.0f, 1.0f);
    group->onUpdatePlaneForDistanceColorization({Eigen::Vector3f(0, 1, 0), 0.0f});
    EXPECT_TRUE(visible->takeCalls().empty());
    group->onUpdateRenderMode(Render::RenderMode::Default);
    group->onUpdatePlaneForDistanceColorization({Eigen::Vector3f(0, 1, 0), std::nanf("")});
    group->onUpdateViewMatrix(std::make_shared<Render::Camera>());
    group->onUpdatePlaneForDistanceColorization({Eigen::Vector3f(0, 1, 0), std::nanf("")});
    EXPECT_EQ(visible->takeCalls(), (Calls{"renderMode", "plane", "view", "plane"}));

    EXPECT_THROW(group->add(nullptr), std::invalid_argument);
    EXPECT_THROW(group->add(group), std::invalid_argument);
    EXPECT_THROW(inner->add(group), std::invalid_argument);
    EXPECT_EQ(group->size(), 2u);
    EXPECT_EQ(inner->size(), 1u);
    GroupRenderable unowned(*GroupRenderable::create("copy source"));
    EXPECT_THROW(unowned.add(std::make_shared<RecordingNode>()), std::bad_weak_ptr);
    EXPECT_TRUE(unowned.empty());
}

} // namespace
