#include "math/vertexcontainer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Render::VertexContainer;
using Vertex = VertexContainer::Vertex;

TEST(VertexFormats, DefaultsAndRawLayout)
{
    Vertex const vertex;
    EXPECT_EQ(vertex.distance, 3.4028235e38f);
    EXPECT_EQ(vertex.intensity, 0u);
    EXPECT_EQ(vertex.classIndex, 0u);
    EXPECT_EQ(vertex.color, Math::Color());

    // The color bytes go to the GPU as B, G, R, A.
    Vertex const colored(1.0f, 2.0f, 3.0f, 10, 20, 30, 40);
    unsigned char raw[sizeof(Vertex)];
    std::memcpy(raw, &colored, sizeof(Vertex));
    EXPECT_EQ(raw[12], 30);
    EXPECT_EQ(raw[13], 20);
    EXPECT_EQ(raw[14], 10);
    EXPECT_EQ(raw[15], 40);

    EXPECT_FALSE(Render::VertexPosColor().isValid());
    EXPECT_TRUE(Render::VertexPosColor(0, 0, 0, 1, 2, 3, 4).isValid());
}

// Every format can be made from a point and a color; the normal formats get a zero normal.
template <class Format>
void expectMadeFromPointAndColor()
{
    Math::Point<float, 3> const position(1.5f, -2.0f, 3.25f);
    Math::Color const color(10, 20, 30, 40);
    Format const vertex(position, color);
    EXPECT_EQ((Math::Point<float, 3>(vertex.x, vertex.y, vertex.z)), position);
    EXPECT_EQ(vertex.color, color);
    if constexpr (requires { vertex.nx; }) {
        EXPECT_EQ(Eigen::Vector3f(vertex.nx, vertex.ny, vertex.nz), Eigen::Vector3f::Zero());
    }
}

TEST(VertexFormats, EveryFormatIsMadeFromAPointAndAColor)
{
    expectMadeFromPointAndColor<Render::VertexPosColor>();
    expectMadeFromPointAndColor<Render::VertexPosNormalColor>();
    expectMadeFromPointAndColor<Render::VertexPosNormalTexCoordColor>();
    expectMadeFromPointAndColor<Render::VertexPosColorIntensityClassIndexScanIndex>();
    expectMadeFromPointAndColor<Render::VertexPosNormalColorIntensityClassIndexScanIndex>();
    expectMadeFromPointAndColor<Render::VertexPosColorIntensityClassIndexScanIndexDistance>();
}

TEST(VertexContainer, ResizeGivesDefaultVerticesAndVisibleBytes)
{
    VertexContainer container;
    container.resize(3);
    ASSERT_EQ(container.size(), 3u);
    ASSERT_EQ(container.visibility.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(container.data()[i].distance, 3.4028235e38f);
        EXPECT_EQ(container.visibility[i], 0u);
    }
}

TEST(VertexContainer, CompleteRemovesHiddenPointsInOrder)
{
    VertexContainer container{Vertex(0, 0, 0, 0xff000000u), Vertex(1, 0, 0, 0xff000000u), Vertex(2, 0, 0, 0xff000000u)};
    VertexContainer untouched = container;
    untouched.complete();
    EXPECT_EQ(untouched.size(), 3u);

    container.setVisibility(1, 1);
    EXPECT_TRUE(container.visibilityChanged);
    container.complete();
    ASSERT_EQ(container.size(), 2u);
    EXPECT_EQ(container.position(0).x(), 0.0f);
    EXPECT_EQ(container.position(1).x(), 2.0f);
    EXPECT_TRUE(container.visibility.empty());
}

TEST(VertexContainer, DistancesAndClipValuesCheckTheirSize)
{
    VertexContainer container;
    container.resize(3);
    try {
        container.setDistances({1.0f, 2.0f});
        FAIL() << "expected an error";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Error VertexContainer::setDistances: size mismatch");
    }
    EXPECT_THROW(container.setClipValues({1}), std::runtime_error);
    container.setColor(1, 10, 20, 30, 255);
    container.setClipValues({0, 7, 255});
    EXPECT_EQ(container.data()[0].color.a(), 0);
    EXPECT_EQ(container.data()[1].color, Math::Color(10, 20, 30, 7));
    EXPECT_EQ(container.data()[2].color.a(), 255);
    container.setDistances({1.0f, 2.0f, 3.0f});
    EXPECT_EQ(container.data()[2].distance, 3.0f);
}

TEST(VertexContainer, SettersNarrowAndClearTransparent)
{
    VertexContainer container;
    container.resize(2);
    container.setPosition(0, 1.0000000001, -2.5, 1e10);
    EXPECT_EQ(container.position(0), (Math::Point<float, 3>(1.0f, -2.5f, 1e10f)));
    container.setIntensity(0, 65535);
    container.setScanIndex(0, 4242);
    container.setClassIndex(0, 200);
    container.setColor(0, 1, 2, 3, 255);
    container.clearFullyTransparentPoints();
    ASSERT_EQ(container.size(), 1u);
    EXPECT_EQ(container.data()[0].intensity, 65535u);
    EXPECT_EQ(container.data()[0].scanIndex, 4242u);
    EXPECT_EQ(container.data()[0].classIndex, 200u);
}

} // namespace
