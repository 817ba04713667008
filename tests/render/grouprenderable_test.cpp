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

std::shared_ptr<Render::Camera> const kCamera = std::make_shared<Render::Camera>();

// A group initialised without a real device: the group only checks that
// camera, device and context are set, so any non-null COM pointers do.
void initialise(GroupRenderable& group, ID3D11Device* device, ID3D11DeviceContext* context)
{
    group.init(7, kCamera, device, context);
}

class GroupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        throwIfFailedTest(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                                            D3D11_SDK_VERSION, &mDevice, nullptr, &mContext));
    }
    static void throwIfFailedTest(HRESULT result) { ASSERT_GE(result, 0); }

    ATL::CComPtr<ID3D11Device> mDevice;
    ATL::CComPtr<ID3D11DeviceContext> mContext;
    std::shared_ptr<GroupRenderable> mGroup = GroupRenderable::create("root");
};

TEST_F(GroupTest, ChildAddedAfterInitIsInitialisedAndBroughtUpToDate)
{
    auto early = std::make_shared<RecordingNode>("early");
    mGroup->add(early);
    EXPECT_TRUE(early->takeCalls().empty()) << "an uninitialised group sends nothing";

    // Children initialised with the group, or added to it later, get every setting it keeps.
    Calls const initialisedWithSettings{"init", "renderMode", "meshClipping", "regionClipping", "mesh",
                                        "clippingRegion", "distanceColorMap", "intensityColorMap", "signedDistance",
                                        "distanceRange", "passFailRange", "warnRange", "intensityRange", "plane",
                                        "tomographicColor", "cloudColors", "classification", "classVisibility",
                                        "intensityBlendFactor"};
    initialise(*mGroup, mDevice, mContext);
    EXPECT_EQ(early->takeCalls(), initialisedWithSettings);
    EXPECT_EQ(early->initializedWith, 7u);

    auto late = std::make_shared<RecordingNode>();
    mGroup->add("late", late);
    EXPECT_EQ(late->name(), "late");
    EXPECT_EQ(late->takeCalls(), initialisedWithSettings);
    EXPECT_EQ(late->parent(), mGroup);
    EXPECT_TRUE(mGroup->needsRedraw());
}

TEST_F(GroupTest, ForwardsAlwaysOrOnlyOnChangeAsTheSettingRequires)
{
    auto child = std::make_shared<RecordingNode>();
    mGroup->add(child);
    mGroup->onUpdateDistanceColorMap(Render::ColorMap::Turbo);
    mGroup->onUpdateDistanceColorMapRange(0.0f, 1.0f);
    mGroup->onUpdatePlaneForDistanceColorization({Eigen::Vector3f(0, 1, 0), 0.0f});
    EXPECT_TRUE(child->takeCalls().empty());

    mGroup->onUpdateRenderMode(Render::RenderMode::Default);
    mGroup->onUpdatePlaneForDistanceColorization({Eigen::Vector3f(0, 1, 0), std::nanf("")});
    mGroup->onUpdateViewMatrix(kCamera);
    EXPECT_EQ(child->takeCalls(), (Calls{"renderMode", "plane", "view"}));
    mGroup->onUpdatePlaneForDistanceColorization({Eigen::Vector3f(0, 1, 0), std::nanf("")});
    EXPECT_EQ(child->takeCalls(), Calls{"plane"}) << "a NaN component always counts as a change";
}

TEST_F(GroupTest, CombinesBoundsBrightnessAndBackgroundOfItsChildren)
{
    auto visible = std::make_shared<RecordingNode>("a");
    visible->box = {{0, 0, 0}, {1, 1, 1}};
    visible->brightnessAndContrastResult = {0.2f, 1.5f};
    auto hidden = std::make_shared<RecordingNode>("b");
    hidden->box = {{5, 5, 5}, {6, 6, 6}};
    hidden->background = Math::Color(1, 2, 3, 4);
    mGroup->add(visible);
    mGroup->add(hidden);
    hidden->setVisible(false);

    EXPECT_EQ(mGroup->boundingBox(), (Math::NBoundingBox<float, 3>({0, 0, 0}, {6, 6, 6})));
    EXPECT_EQ(mGroup->backgroundColor(), Math::Color(1, 2, 3, 4));
    float brightness = 0.0f;
    float contrast = 0.0f;
    mGroup->brightnessAndContrast(0.0f, 1.0f, brightness, contrast);
    EXPECT_FLOAT_EQ(brightness, 0.1f);
    EXPECT_FLOAT_EQ(contrast, 1.25f);

    mGroup->render();
    EXPECT_EQ(visible->takeCalls(), Calls{"render"});
    EXPECT_TRUE(hidden->takeCalls().empty()) << "hidden children are not rendered";

    auto empty = GroupRenderable::create("empty");
    EXPECT_TRUE(empty->boundingBox().isEmpty());
    empty->brightnessAndContrast(0.0f, 1.0f, brightness, contrast);
    EXPECT_EQ(brightness, 0.0f);
    EXPECT_EQ(contrast, 1.0f);
    EXPECT_EQ(empty->front(), nullptr);
}

TEST_F(GroupTest, HiddenChildrenDoNotKeepTheSceneRedrawingForever)
{
    auto child = std::make_shared<RecordingNode>();
    mGroup->add(child);
    mGroup->render();
    EXPECT_FALSE(mGroup->needsRedraw());

    child->setVisible(false);
    EXPECT_TRUE(mGroup->needsRedraw()) << "hiding a child needs one frame to show it";
    mGroup->render();
    EXPECT_FALSE(mGroup->needsRedraw());

    child->setNeedsRedraw(true); // e.g. a loader finishing in the background
    mGroup->render();
    EXPECT_FALSE(mGroup->needsRedraw());
}

TEST_F(GroupTest, FindsAndRemovesByNameAnywhereBelow)
{
    auto inner = GroupRenderable::create("inner");
    auto deep = std::make_shared<RecordingNode>("target");
    auto other = GroupRenderable::create("other");
    auto deeper = std::make_shared<RecordingNode>("target");
    inner->add(std::make_shared<RecordingNode>("x"));
    other->add(deeper);
    mGroup->add(inner);
    mGroup->add(other);
    mGroup->add(std::make_shared<RecordingNode>("target"));
    mGroup->add(std::make_shared<RecordingNode>("target"));
    inner->add(deep);

    EXPECT_EQ(mGroup->findByName("target"), deep) << "depth first, in child order";
    EXPECT_EQ(mGroup->findByName("missing"), nullptr);

    initialise(*mGroup, mDevice, mContext);
    mGroup->render();
    deep->takeCalls();
    deeper->takeCalls();
    mGroup->removeByName("target");
    EXPECT_EQ(mGroup->size(), 2u);
    EXPECT_EQ(inner->size(), 1u);
    EXPECT_EQ(other->size(), 0u);
    EXPECT_EQ(deep->takeCalls(), Calls{"deinit"});
    EXPECT_EQ(deeper->takeCalls(), Calls{"deinit"});
    EXPECT_EQ(mGroup->findByName("target"), nullptr);
    EXPECT_TRUE(mGroup->needsRedraw());
    EXPECT_EQ(mGroup->back(), other);

    mGroup->remove(mGroup->cbegin());
    EXPECT_EQ(mGroup->front(), other);
    mGroup->removeAll();
    EXPECT_TRUE(mGroup->empty());
}

// Null nodes, cycles and groups without an owner are refused and leave the groups as they were.
TEST_F(GroupTest, MisuseIsRefusedAndKeepsNothing)
{
    auto inner = GroupRenderable::create("inner");
    mGroup->add(inner);
    EXPECT_THROW(mGroup->add(nullptr), std::invalid_argument);
    EXPECT_THROW(mGroup->add(mGroup), std::invalid_argument);
    EXPECT_THROW(inner->add(mGroup), std::invalid_argument);
    EXPECT_EQ(mGroup->size(), 1u);
    EXPECT_EQ(inner->size(), 0u);
    EXPECT_EQ(inner->parent(), mGroup);

    GroupRenderable unowned(*GroupRenderable::create("copy source"));
    EXPECT_THROW(unowned.add(std::make_shared<RecordingNode>()), std::bad_weak_ptr);
    EXPECT_TRUE(unowned.empty());
}

TEST_F(GroupTest, WorldMatrixChangesReachEveryDescendant)
{
    auto inner = GroupRenderable::create("inner");
    auto leaf = std::make_shared<RecordingNode>();
    inner->add(leaf);
    mGroup->add(inner);
    Eigen::Matrix4f shift = Eigen::Matrix4f::Identity();
    shift(2, 3) = 4.0f;
    EXPECT_EQ(leaf->worldMatrix(), Eigen::Matrix4f::Identity());
    mGroup->setMatrix(shift);
    EXPECT_EQ(leaf->worldMatrix(), shift);

    mGroup->setSelected(true);
    EXPECT_TRUE(leaf->selected());
}

} // namespace
