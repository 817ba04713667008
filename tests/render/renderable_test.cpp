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

Eigen::Vector3f transformPoint(Eigen::Matrix4f const& m, Eigen::Vector3f const& p)
{
    return (m * p.homogeneous()).hnormalized();
}

TEST(Renderable, IdsCountPerClassAndCopiesKeepThem)
{
    BoxNode first("first");
    BoxNode second("second");
    EXPECT_EQ(second.id(), first.id() + 1);
    BoxNode copy(first);
    EXPECT_EQ(copy.id(), first.id());
    EXPECT_EQ(copy.name(), "first");
    copy = second;
    EXPECT_EQ(copy.id(), second.id());
}

TEST(Renderable, FlagsRaiseRedrawOnlyOnChange)
{
    BoxNode node("node");
    EXPECT_TRUE(node.needsRedraw());
    node.render();
    EXPECT_FALSE(node.needsRedraw());

    node.setMatrix(Eigen::Matrix4f::Identity());
    EXPECT_FALSE(node.needsRedraw()) << "the same matrix changes nothing";
    node.setVisible(true);
    node.setSelected(false);
    EXPECT_FALSE(node.needsRedraw());

    node.setVisible(false);
    EXPECT_TRUE(node.needsRedraw());
    node.render();
    node.setVisible(false);
    EXPECT_FALSE(node.needsRedraw()) << "hiding twice raises the flag once";
    node.setSelected(true);
    EXPECT_TRUE(node.needsRedraw());
    EXPECT_TRUE(node.selected());
}

TEST(Renderable, WorldMatrixFollowsTheParentChain)
{
    auto parent = std::make_shared<BoxNode>("parent");
    BoxNode child("child");
    child.setMatrix(translation(1, 2, 3));
    EXPECT_EQ(child.worldMatrix(), child.matrix());

    parent->setMatrix(scaling(2, 2, 2));
    child.setParent(parent);
    EXPECT_TRUE(child.worldMatrix().isApprox(scaling(2, 2, 2) * translation(1, 2, 3)));
    EXPECT_TRUE((child.invWorldMatrix() * child.worldMatrix()).isIdentity(1e-6f));

    // A cached world matrix is recomputed only after invalidation.
    parent->setMatrix(translation(10, 0, 0));
    child.invalidateWorldMatrix();
    EXPECT_TRUE(child.worldMatrix().isApprox(translation(11, 2, 3)));

    parent.reset();
    EXPECT_EQ(child.parent(), nullptr);
}

TEST(Renderable, BoundsTransformAllCornersAndKeepEmptyBoxes)
{
    BoxNode empty("empty");
    empty.setMatrix(rotationZ(0.3f) * translation(5, 5, 5));
    EXPECT_TRUE(empty.boundingBoxWorld().isEmpty());
    EXPECT_TRUE(std::isinf(empty.boundingBoxParent().min().x()));

    auto parent = std::make_shared<BoxNode>("parent");
    parent->setMatrix(translation(0, 0, 10));
    BoxNode node("node", Box({0, 0, 0}, {2, 1, 1}));
    node.setParent(parent);
    node.setMatrix(rotationZ(std::numbers::pi_v<float> / 2));
    Box const inParent = node.boundingBoxParent();
    EXPECT_TRUE(inParent.min().isApprox(Eigen::Vector3f(-1, 0, 0), 1e-5f)) << inParent.min().transpose();
    EXPECT_TRUE(inParent.max().isApprox(Eigen::Vector3f(0, 2, 1), 1e-5f)) << inParent.max().transpose();
    Box const inWorld = node.boundingBoxWorld();
    EXPECT_TRUE(inWorld.min().isApprox(Eigen::Vector3f(-1, 0, 10), 1e-5f)) << inWorld.min().transpose();
    EXPECT_TRUE(inWorld.max().isApprox(Eigen::Vector3f(0, 2, 11), 1e-5f)) << inWorld.max().transpose();
}

TEST(Renderable, TranslationByCorrespondencesKeepsRotationAndScale)
{
    BoxNode node("node");
    Eigen::Matrix4f const original = translation(1, 2, 3) * rotationZ(0.7f) * scaling(2, 3, 4);
    node.setMatrix(original);
    node.setTranslationByCorrespondences({1, 1, 1}, {4, -1, 2});
    Eigen::Matrix4f expected = original;
    expected.topRightCorner<3, 1>() += Eigen::Vector3f(3, -2, 1);
    EXPECT_TRUE(node.matrix().isApprox(expected, 1e-5f)) << node.matrix();
}

TEST(Renderable, ZRotationByCorrespondencesTakesTheShortWay)
{
    BoxNode node("node");
    Eigen::Vector3f const center(1, 1, 0);
    // From +x to -y is 270 degrees counter-clockwise, that is -90 degrees.
    node.setZRotationByCorrespondences(center, center + Eigen::Vector3f(1, 0, 0), center + Eigen::Vector3f(0, -1, 0));
    Eigen::Matrix4f const expected = translation(1, 1, 0) * rotationZ(-std::numbers::pi_v<float> / 2) *
                                     translation(-1, -1, 0);
    EXPECT_TRUE(node.matrix().isApprox(expected, 1e-5f)) << node.matrix();
    EXPECT_TRUE(transformPoint(node.matrix(), center).isApprox(center));
}

TEST(Renderable, TranslationAndRotationMapsPointAndDirection)
{
    BoxNode node("node");
    node.setMatrix(scaling(-1, 2, 1)); // a mirrored node keeps its mirroring
    Eigen::Vector3f const from(2, 0, 1);
    Eigen::Vector3f const to(5, 5, 1);
    node.setTranslationAndZRotationByCorrespondences(from, to, {1, 0, 0}, {0, 1, 0});
    Eigen::Vector3f const local(3, 4, 5);
    Eigen::Vector3f const before = transformPoint(scaling(-1, 2, 1), local);
    Eigen::Vector3f const after = transformPoint(node.matrix(), local);
    Eigen::Vector3f const expected = to + Eigen::AngleAxisf(std::numbers::pi_v<float> / 2, Eigen::Vector3f::UnitZ()) *
                                              (before - from);
    EXPECT_TRUE(after.isApprox(expected, 1e-5f)) << after.transpose() << " vs " << expected.transpose();
    EXPECT_LT((node.matrix().topLeftCorner<3, 3>().determinant()), 0.0f);
}

} // namespace
