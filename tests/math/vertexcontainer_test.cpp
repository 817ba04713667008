#include "math/vertexcontainer.h"

#include "support/thrownmessage.h"

#include <gtest/gtest.h>

namespace {

using Render::VertexContainer;
using Vertex = VertexContainer::Vertex;

TEST(VertexContainer, ResizeGivesFarVisiblePointsAndCompleteDropsHiddenOnesInOrder)
{
    VertexContainer resized;
    resized.resize(3);
    ASSERT_EQ(resized.visibility.size(), 3u);
    EXPECT_EQ(resized.data()[2].distance, 3.4028235e38f);
    EXPECT_EQ(resized.visibility[2], 0u);

    VertexContainer container{Vertex(0, 0, 0, 0xff000000u), Vertex(1, 0, 0, 0xff000000u), Vertex(2, 0, 0, 0xff000000u)};
    VertexContainer untouched = container;
    untouched.complete();
    EXPECT_EQ(untouched.size(), 3u);
    container.setVisibility(1, 1);
    container.complete();
    ASSERT_EQ(container.size(), 2u);
    EXPECT_EQ(container.position(0).x(), 0.0f);
    EXPECT_EQ(container.position(1).x(), 2.0f);
    EXPECT_TRUE(container.visibility.empty());
}

TEST(VertexContainer, DistancesAndClipValuesCheckTheirSizeAndTransparentPointsAreCleared)
{
    VertexContainer container;
    container.resize(3);
    EXPECT_EQ(TestSupport::thrownMessage<std::runtime_error>([&] { container.setDistances({1.0f, 2.0f}); }),
              "Error VertexContainer::setDistances: size mismatch");
    EXPECT_THROW(container.setClipValues({1}), std::runtime_error);
    container.setPosition(1, 1.0000000001, -2.5, 1e10);
    container.setColor(1, 10, 20, 30, 255);
    container.setIntensity(1, 65535);
    container.setClipValues({0, 7, 0});
    container.setDistances({1.0f, 2.0f, 3.0f});
    container.clearFullyTransparentPoints();
    ASSERT_EQ(container.size(), 1u);
    EXPECT_EQ(container.data()[0].color, Math::Color(10, 20, 30, 7));
    EXPECT_EQ(container.position(0), (Math::Point<float, 3>(1.0f, -2.5f, 1e10f)));
    EXPECT_EQ(container.data()[0].distance, 2.0f);
    EXPECT_EQ(container.data()[0].intensity, 65535u);
}

} // namespace
