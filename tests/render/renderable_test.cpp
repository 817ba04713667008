#include "render/renderable.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

using Box = Math::NBoundingBox<float, 3>;

class BoxNode : public Render::Renderable {
public:
    explicit BoxNode(std::string name, Box box = {}) : Renderable(std::move(name)), mBox(box) {}
    Box boundingBox() const override { return mBox; }

private:
    Box mBox;
};

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
    BoxNode node("node");
    BoxNode second("second");
    EXPECT_EQ(second.id(), node.id() + 1);
    BoxNode copy(node);
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

// World matrices and bounds follow the parent chain; bounds transform all eight corners.
TEST(Renderable, WorldMatrixAndBoundsFollowTheParentChain)
{
    auto parent = std::make_shared<BoxNode>("parent");
    BoxNode child("child", Box({0, 0, 0}, {2, 1, 1}));
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

    BoxNode empty("empty");
    empty.setMatrix(rotationZ(0.3f) * translation(5, 5, 5));
    EXPECT_TRUE(empty.boundingBoxWorld().isEmpty());
}

// Translation keeps rotation and scale; a turn maps point and direction and keeps a mirrored node mirrored.
TEST(Renderable, CorrespondencesMoveTheNodeAsAsked)
{
    BoxNode node("node");
    Eigen::Matrix4f const original = translation(1, 2, 3) * rotationZ(0.7f) * scaling(2, 3, 4);
    node.setMatrix(original);
    node.setTranslationByCorrespondences({1, 1, 1}, {4, -1, 2});
    Eigen::Matrix4f expected = original;
    expected.topRightCorner<3, 1>() += Eigen::Vector3f(3, -2, 1);
    EXPECT_TRUE(node.matrix().isApprox(expected, 1e-5f)) << node.matrix();


    // A quarter turn about `from`, then on to `to`.
    node.setMatrix(scaling(-1, 2, 1));
    node.setTranslationAndZRotationByCorrespondences({2, 0, 1}, {5, 5, 1}, {1, 0, 0}, {0, 1, 0});
    Eigen::Matrix4f const moved = translation(5, 5, 1) * rotationZ(std::numbers::pi_v<float> / 2) *
                                  translation(-2, 0, -1) * scaling(-1, 2, 1);
    EXPECT_TRUE(node.matrix().isApprox(moved, 1e-5f)) << node.matrix() << "\nvs\n" << moved;
    EXPECT_LT((node.matrix().topLeftCorner<3, 3>().determinant()), 0.0f);
}

} // namespace
