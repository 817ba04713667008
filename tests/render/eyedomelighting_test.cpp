// Eye-dome lighting on a rendered step: a far layer of points under the whole square and a near
// layer over its left half, seen from straight above, so that the step runs down the image centre.
#include "../support/tempfolder.h"

#include "math/color.h"
#include "octree/octreenodeid.h"
#include "octree/potreelocation.h"
#include "octree/potreewriter.h"
#include "octree/sourcepoints.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace {

using Render::RenderMode;

constexpr std::size_t kViewSize = 64;
constexpr std::size_t kEdgeColumn = kViewSize / 2;
constexpr float kCameraHeight = 5.0f;
constexpr float kFarLayerZ = 0.0f;
constexpr float kNearLayerZ = 1.0f;
constexpr float kHalfSize = 2.0f;
constexpr int kStepsPerUnit = 30;
constexpr float kOrthographicHeight = 6.0f;
// Mid-grey and bright enough that darkening shows in every channel.
constexpr std::uint16_t kPointChannel = 200 * 257;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
Math::Color const kBackground(20, 40, 60, 255);

struct Frame {
    std::vector<Math::Color> image;
    std::vector<float> depth;
    std::vector<Render::VertexPosColor> points;
    // Colors of the points the chunk readback reports, red | green << 8 | blue << 16.
    std::vector<int> chunkColors;

    Math::Color pixel(std::size_t x, std::size_t y) const { return image[y * kViewSize + x]; }
    int brightness(std::size_t x, std::size_t y) const
    {
        return pixel(x, y).r() + pixel(x, y).g() + pixel(x, y).b();
    }
    bool showsPoint(std::size_t x, std::size_t y) const
    {
        return points[y * kViewSize + x].color != Math::Color();
    }
};

class EyeDomeLightingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sFolder = std::make_unique<TestSupport::TempFolder>("eye-dome-step");
        Octree::SourcePoints source;
        source.hasRgb = source.hasIntensity = source.hasClassification = true;
        auto const addLayer = [&](float z, float maxX) {
            auto const at = [](int step) { return -kHalfSize + double(step) / kStepsPerUnit; };
            for (int i = 0; i <= static_cast<int>((maxX + kHalfSize) * kStepsPerUnit); ++i)
                for (int j = 0; j <= static_cast<int>(2.0f * kHalfSize * kStepsPerUnit); ++j)
                    source.points.push_back({Math::Point<double, 3>(at(i), at(j), z),
                                             {kPointChannel, kPointChannel, kPointChannel}, 40000, 2, 0});
        };
        addLayer(kFarLayerZ, kHalfSize);
        addLayer(kNearLayerZ, 0.0f);
        sPointCount = source.points.size();
        // Positions exact to the millimetre, so that the layers keep their heights in the octree frame.
        PoTree::writePotree(source, sFolder->path(), PoTree::WriterOptions{});
    }

    static void TearDownTestSuite() { sFolder.reset(); }

    // The step, loaded completely, in a renderer looking straight down on it.
    std::unique_ptr<Render::Renderer> stepRenderer(bool orthographic, bool zBufferReversed, RenderMode mode)
    {
        auto renderer = std::make_unique<Render::Renderer>(zBufferReversed);
        renderer->setViewport(kViewSize, kViewSize);
        renderer->setBackgroundColor(kBackground);
        renderer->setRenderMode(mode);
        mCloud = Render::PointCloudRenderable::create(
            std::make_shared<PoTree::FileSystemLocation>(sFolder->path()), "step", sPointCount, 1.0);
        renderer->setScene(mCloud);
        Math::Point<float, 3> const center = mCloud->boundingBoxWorld().center();
        Math::Point<float, 3> const target =
            center - Math::Point<float, 3>(0, 0, 0.5f * (kNearLayerZ - kFarLayerZ));
        renderer->setCameraPose(target + Math::Point<float, 3>(0.0f, 0.0f, kCameraHeight), target,
                                Eigen::Vector3f::UnitY());
        if (orthographic)
            renderer->setOrthographic(kOrthographicHeight, kOrthographicHeight, 0.1f, 100.0f);
        else
            renderer->setPerspective(60.0f, 0.1f, 100.0f);
        mCloud->reloadPoints(std::function<void()>(), Octree::OctreeNodeId::kMaxLevel, std::stop_token());
        return renderer;
    }

    static Frame renderFrame(Render::Renderer& renderer)
    {
        renderer.render();
        Frame frame;
        frame.image.resize(kViewSize * kViewSize);
        frame.depth.resize(kViewSize * kViewSize);
        renderer.getColorImage(std::as_writable_bytes(std::span(frame.image)), kViewSize * 4, kViewSize);
        renderer.getDepthImage(std::as_writable_bytes(std::span(frame.depth)), kViewSize * 4, kViewSize);
        renderer.getPoints(frame.points, false);
        renderer.resetPointChunkPosition();
        std::vector<double> xyz(3 * frame.points.size());
        frame.chunkColors.resize(frame.points.size());
        frame.chunkColors.resize(
            renderer.getNextPointChunk(xyz.data(), frame.chunkColors.data(), frame.points.size()));
        return frame;
    }

    static inline std::unique_ptr<TestSupport::TempFolder> sFolder;
    static inline std::size_t sPointCount = 0;
    std::shared_ptr<Render::PointCloudRenderable> mCloud;
};

// Whatever a mode draws, in perspective and orthographic, the shading only darkens it where something
// was drawn; background pixels, depth, positions and the chunk readback's colors (what picking and point
// export read) stay as drawn. In the default mode columns well inside either layer keep their colors,
// the far side of the step darkens, the near side does not, and the other depth convention gives the very
// same picture; the strength scales the log of the shade.
TEST_F(EyeDomeLightingTest, StepDarkensItsFarSideOnlyAndLeavesBackgroundAndReadbackAlone)
{
    constexpr int kModes = static_cast<int>(RenderMode::ColorizeByClassIndex) + 1;
    for (int run = 0; run <= kModes; ++run) {
        bool const orthographic = run == kModes;
        RenderMode const mode = orthographic ? RenderMode::Default : static_cast<RenderMode>(run);
        SCOPED_TRACE(orthographic ? std::string("orthographic") : "mode " + std::to_string(run));
        auto renderer = stepRenderer(orthographic, true, mode);
        renderer->setTomographicColor(Math::Color(230, 230, 230, 255));
        // Every point within the plane-distance range, whichever frame the octree put them in.
        renderer->setDistanceColorMapRange(-1e6f, 1e6f);
        Frame const without = renderFrame(*renderer);
        renderer->setEyeDomeLighting(true);
        Frame const with = renderFrame(*renderer);
        int darkened = 0;
        for (std::size_t y = 0; y < kViewSize; ++y)
            for (std::size_t x = 0; x < kViewSize; ++x) {
                Math::Color const before = without.pixel(x, y);
                Math::Color const after = with.pixel(x, y);
                ASSERT_TRUE(after.a() == before.a() && after.r() <= before.r() && after.g() <= before.g() &&
                            after.b() <= before.b())
                    << x << ", " << y;
                ASSERT_TRUE(without.showsPoint(x, y) || after == before) << "background " << x << ", " << y;
                darkened += after != before ? 1 : 0;
            }
        EXPECT_GT(darkened, static_cast<int>(kViewSize / 2));
        EXPECT_EQ(with.depth, without.depth);
        ASSERT_FALSE(without.chunkColors.empty());
        EXPECT_EQ(with.chunkColors, without.chunkColors);
        ASSERT_EQ(with.points.size(), without.points.size());
        EXPECT_EQ(std::memcmp(with.points.data(), without.points.data(),
                              with.points.size() * sizeof(Render::VertexPosColor)),
                  0);
        if (mode != RenderMode::Default)
            continue;

        // No pixel of the near layer darkens, wherever its edge falls, nor the far layer's inside.
        int farSideDarkening = 0;
        float const nearDepth = without.depth[kViewSize * kViewSize / 2 + kEdgeColumn - 12];
        float const farDepth = without.depth[kViewSize * kViewSize / 2 + kEdgeColumn + 12];
        for (std::size_t y = kViewSize / 4; y < 3 * kViewSize / 4; ++y) {
            for (std::size_t x = kEdgeColumn - 12; x <= kEdgeColumn + 12; ++x) {
                ASSERT_TRUE(without.showsPoint(x, y)) << x << ", " << y;
                float const depth = without.depth[y * kViewSize + x];
                if (std::abs(depth - nearDepth) < std::abs(depth - farDepth) || x == kEdgeColumn + 12)
                    EXPECT_EQ(with.pixel(x, y), without.pixel(x, y)) << x << ", " << y;
            }
            for (std::size_t x = kEdgeColumn; x <= kEdgeColumn + 2; ++x)
                farSideDarkening += without.brightness(x, y) - with.brightness(x, y);
        }
        EXPECT_GT(farSideDarkening, 100 * static_cast<int>(kViewSize / 2))
            << "about a third of 600 levels per row";
        auto forward = stepRenderer(orthographic, false, mode);
        forward->setEyeDomeLighting(true);
        EXPECT_EQ(renderFrame(*forward).image, with.image);
        if (orthographic)
            continue;

        // The strength scales the log of the shade: twice the strength squares it.
        constexpr float kWeak = 0.025f; // weak enough that the edge keeps some light to measure
        renderer->setEyeDomeLightingStrength(kWeak);
        Frame const weak = renderFrame(*renderer);
        renderer->setEyeDomeLightingStrength(2.0f * kWeak);
        Frame const strong = renderFrame(*renderer);
        std::size_t measured = 0;
        for (std::size_t x = kEdgeColumn - 2; x <= kEdgeColumn + 3; ++x) {
            double const unshaded = without.pixel(x, kViewSize / 2).g();
            double const weakShade = weak.pixel(x, kViewSize / 2).g() / unshaded;
            if (weakShade > 0.9 || weakShade < 0.3)
                continue;
            ++measured;
            EXPECT_NEAR(std::log(strong.pixel(x, kViewSize / 2).g() / unshaded) / std::log(weakShade), 2.0,
                        0.15)
                << x;
        }
        EXPECT_GT(measured, 0u) << "no pixel at the edge was shaded by between 10 % and 70 %";

        // Values the shading cannot use are refused and change nothing; the same value asks no redraw.
        for (float const strength : {-0.5f, kNaN, std::numeric_limits<float>::infinity()})
            EXPECT_THROW(renderer->setEyeDomeLightingStrength(strength), std::invalid_argument) << strength;
        for (float const radius : {0.0f, -1.0f, 65.0f, kNaN})
            EXPECT_THROW(renderer->setEyeDomeLightingRadius(radius), std::invalid_argument) << radius;
        EXPECT_EQ(renderer->eyeDomeLightingStrength(), 2.0f * kWeak);
        renderer->setEyeDomeLightingRadius(renderer->eyeDomeLightingRadius());
        renderer->setEyeDomeLighting(true);
        EXPECT_FALSE(renderer->needsRedraw());
        renderer->setEyeDomeLightingRadius(2.0f);
        EXPECT_TRUE(renderer->needsRedraw());
    }
}

} // namespace
