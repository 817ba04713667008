#include "recordingnode.h"

#include "graphics/colorimage.h"
#include "graphics/depthimage.h"
#include "render/camera.h"
#include "render/renderer.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

class RendererTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mRenderer.setScene(mNode);
        mRenderer.render();
        mNode->takeCalls();
        ASSERT_FALSE(mRenderer.needsRedraw());
    }

    Math::Color pixelAt(std::size_t x, std::size_t y)
    {
        mRenderer.getColorImage(mImage);
        return mImage.pixel(x, y);
    }

    Render::Renderer mRenderer;
    std::shared_ptr<Testing::RecordingNode> mNode = std::make_shared<Testing::RecordingNode>();
    Graphics::ColorImage mImage;
};

TEST_F(RendererTest, SettersForwardOnlyChanges)
{
    mRenderer.setRenderMode(Render::RenderMode::Default);
    mRenderer.setIntensityBlendFactor(0.5f);
    mRenderer.setDistanceColorMapRange(0.0f, 1.0f);
    mRenderer.setBackgroundColor(255, 255, 255, 255);
    mRenderer.setBrightness(0.0f);
    EXPECT_TRUE(mNode->takeCalls().empty());
    EXPECT_FALSE(mRenderer.needsRedraw());

    mRenderer.setRenderMode(Render::RenderMode::ColorizeByIntensity);
    mRenderer.setMeshClippingActive(true);
    mRenderer.setClassVisibilityActive(true);
    mRenderer.setTomographicColor(Math::Color(1, 2, 3, 4));
    mRenderer.setUseCloudColorsInTomographicRenderModes(true);
    mRenderer.setIntensityBlendFactor(0.25f);
    mRenderer.setRegionClippingActive(true);
    mRenderer.setDistanceColorMap(Render::ColorMap::Viridis);
    mRenderer.setIntensityColorMap(Render::ColorMap::Bone);
    mRenderer.setUseSignedDistance(false);
    mRenderer.setPassFailDistanceRange(-1.0f, 1.0f);
    mRenderer.setWarnDistanceRange(-0.5f, 0.5f);
    mRenderer.setIntensityColorMapRange(10, 20);
    EXPECT_EQ(mNode->takeCalls(),
              (Calls{"renderMode", "meshClipping", "classVisibility", "tomographicColor", "cloudColors",
                     "intensityBlendFactor", "regionClipping", "distanceColorMap", "intensityColorMap",
                     "signedDistance", "passFailRange", "warnRange", "intensityRange"}));
    EXPECT_TRUE(mRenderer.needsRedraw());

    mRenderer.render();
    mNode->brightnessAndContrastResult = {0.2f, 1.5f};
    mRenderer.autoAdjustBrightnessAndContrast(0.01f, 0.99f);
    EXPECT_TRUE(mNode->takeCalls() == Calls{"render"}) << "post-process settings stay in the renderer";
    EXPECT_TRUE(mRenderer.needsRedraw());
    EXPECT_FLOAT_EQ(mRenderer.contrast(), 1.5f) << "taken from the scene";

    Math::ClassificationInfo info = Math::ClassificationInfo::randomColoredClasses(256);
    info.setVisible(2, false);
    mRenderer.setClassificationInfo(info);
    mRenderer.setClassificationInfo(info);
    EXPECT_EQ(mNode->takeCalls(), Calls{"classification"});

    // A distance range between two points sets a plane through the first, normal towards the second.
    mRenderer.setDistanceColorizationRange({1, 2, 3}, {1, 2, 7}, Render::ColorMap::Magma);
    EXPECT_EQ(mNode->takeCalls(), (Calls{"plane", "distanceRange", "distanceColorMap"}));
    EXPECT_TRUE(mNode->lastPlane.normal().isApprox(Eigen::Vector3f(0, 0, 1)));
    EXPECT_FLOAT_EQ(mNode->lastPlane.d(), -3.0f);
    EXPECT_EQ(mNode->lastDistanceRange, (std::pair{0.0f, 4.0f}));
    mRenderer.setDistanceColorizationRange({1, 1, 1}, {1, 1, 1}, Render::ColorMap::Magma);
    EXPECT_EQ(mNode->lastPlane.normal(), Eigen::Vector3f::Zero());
    EXPECT_EQ(mRenderer.maxDistance(), 0.0f);
}

TEST_F(RendererTest, ReplacingTheSceneDeinitialisesFirstAndSendsEverySetting)
{
    auto other = std::make_shared<Testing::RecordingNode>("other");
    mRenderer.setScene(other);
    EXPECT_EQ(mNode->takeCalls(), Calls{"deinit"});
    EXPECT_EQ(other->takeCalls(),
              (Calls{"init", "renderMode", "tomographicColor", "cloudColors", "distanceColorMap",
                     "intensityColorMap", "signedDistance", "distanceRange", "passFailRange", "warnRange",
                     "intensityRange", "classification", "classVisibility", "intensityBlendFactor", "plane",
                     "mesh", "meshClipping", "clippingRegion", "regionClipping"}));
    EXPECT_EQ(other->initializedWith, mRenderer.id());

    mRenderer.setScene(other);
    EXPECT_EQ(other->takeCalls().front(), "deinit");
    mRenderer.setScene(nullptr);
    EXPECT_EQ(other->takeCalls(), Calls{"deinit"});
    EXPECT_TRUE(mRenderer.boundingBox().isEmpty());
}

TEST_F(RendererTest, CameraChangesReachTheSceneOnlyWhenTheMatrixChanges)
{
    mRenderer.setCameraPose({0, 0, 5}, Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
    EXPECT_EQ(mNode->takeCalls(), Calls{"view"});
    mRenderer.setCameraPose({0, 0, 5}, Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
    mRenderer.setOrthographic(2.0f, 2.0f, -1.0f, 1.0f);
    EXPECT_TRUE(mNode->takeCalls().empty());

    mRenderer.setPerspective(45.0f, 0.1f, 100.0f);
    EXPECT_EQ(mNode->takeCalls(), Calls{"projection"});

    mNode->box = Math::NBoundingBox<float, 3>({-1, -1, -1}, {1, 1, 1});
    mRenderer.setAutoAdjustZRange(true);
    EXPECT_EQ(mNode->takeCalls(), Calls{"projection"});
    mRenderer.setCameraPose({0, 0, 10}, Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
    EXPECT_EQ(mNode->takeCalls(), (Calls{"zRange", "view"}));
    EXPECT_NEAR(mRenderer.camera()->zNear(), 9.0f, 1e-4f);
    EXPECT_NEAR(mRenderer.camera()->zFar(), 11.0f, 1e-4f);

    Eigen::Matrix4f model = Eigen::Matrix4f::Identity();
    model(0, 3) = 2.0f;
    mRenderer.setModelMatrix(model);
    mRenderer.setModelMatrix(model);
    EXPECT_EQ(mNode->takeCalls(), Calls{"setMatrix"});
    EXPECT_TRUE(mRenderer.modelViewProjectionMatrix().isApprox(mRenderer.viewProjectionMatrix() * model));

    // The height form of an orthographic projection keeps the viewport's shape.
    mRenderer.setViewport(1000, 500);
    mRenderer.setOrthographic(3.0f, 0.0f, 10.0f);
    EXPECT_FLOAT_EQ(mRenderer.projectionMatrix()(0, 0), 2.0f / 6.0f);
    EXPECT_FLOAT_EQ(mRenderer.projectionMatrix()(1, 1), 2.0f / 3.0f);

    // Values that describe no view are refused, reach no node and leave the view as it was.
    mNode->takeCalls();
    Eigen::Matrix4f const view = mRenderer.viewMatrix(), projection = mRenderer.projectionMatrix();
    Math::Point<float, 3> const eye(1, 2, 3);
    EXPECT_THROW(mRenderer.setCameraPose(eye, eye, Eigen::Vector3f::UnitZ()), std::invalid_argument);
    EXPECT_THROW(mRenderer.setCameraPose(eye, Eigen::Vector3f(1, 0, 0), Eigen::Vector3f(0, 0, 0)),
                 std::invalid_argument);
    for (float const fov : {0.0f, -10.0f, 180.0f, 200.0f})
        EXPECT_THROW(mRenderer.setPerspective(fov, 1.0f, 100.0f), std::invalid_argument) << fov;
    EXPECT_THROW(mRenderer.setPerspective(60.0f, 0.0f, 100.0f), std::invalid_argument);
    EXPECT_THROW(mRenderer.setPerspective(60.0f, 10.0f, 5.0f), std::invalid_argument);
    EXPECT_THROW(mRenderer.setOrthographic(0.0f, 10.0f, 1.0f, 100.0f), std::invalid_argument);
    EXPECT_THROW(mRenderer.setOrthographic(-5.0f, 1.0f, 100.0f), std::invalid_argument);
    EXPECT_TRUE(mNode->takeCalls().empty());
    EXPECT_EQ(mRenderer.viewMatrix(), view);
    EXPECT_EQ(mRenderer.projectionMatrix(), projection);
}

// An empty frame shows the background, or the scene's own; the depth buffer clears to the far value of
// its convention; a hidden scene is not rendered.
TEST_F(RendererTest, EmptyFrameClearsToBackgroundAndFarDepth)
{
    mRenderer.setBackgroundColor(10, 20, 30, 255);
    mRenderer.render();
    EXPECT_EQ(pixelAt(0, 0), Math::Color(10, 20, 30, 255));
    EXPECT_EQ(pixelAt(639, 479), Math::Color(10, 20, 30, 255));
    // Rows into caller memory: blue first, padding beyond each row untouched, never past the span.
    std::size_t const stride = 640 * 4 + 16;
    std::vector<std::byte> rows(stride * 3, std::byte{0xEE});
    mRenderer.getColorImage(rows, stride, 3);
    EXPECT_EQ(rows[0], std::byte{30});
    EXPECT_EQ(rows[2 * stride + 3], std::byte{255});
    EXPECT_EQ(rows[stride - 1], std::byte{0xEE});
    EXPECT_THROW(mRenderer.getColorImage(rows, stride, 4), std::invalid_argument);
    mNode->background = Math::Color(200, 0, 0, 255);
    mRenderer.render();
    EXPECT_EQ(pixelAt(320, 240), Math::Color(200, 0, 0, 255));

    Graphics::DepthImage depth;
    mRenderer.getDepthImage(depth);
    EXPECT_EQ(depth.pixel(5, 5), 0.0f) << "a reversed depth buffer clears to 0";
    mRenderer.setProjection(Eigen::Matrix4f::Identity(), 0.0f, 1.0f, false);
    mRenderer.render();
    mRenderer.getDepthImage(depth);
    EXPECT_EQ(depth.pixel(5, 5), 1.0f) << "a normal depth buffer clears to 1";
    mRenderer.setPerspectiveOffCenter(-1, 1, -1, 1, 0.5f, 50.0f, true);
    mRenderer.render();
    mRenderer.getDepthImage(depth);
    EXPECT_EQ(depth.pixel(5, 5), 0.0f);

    // A new size resizes the targets; sizes the device cannot hold are refused and change nothing.
    mNode->takeCalls();
    mRenderer.setViewport(640, 480);
    mRenderer.setViewport(33, 17);
    EXPECT_EQ(mNode->takeCalls(), (Calls{"viewport", "projection"}));
    using Size = std::pair<std::size_t, std::size_t>;
    for (auto [width, height] : {Size{0, 10}, Size{10, 0}, Size{16385, 10}, Size{10, 1u << 20}}) {
        EXPECT_THROW(mRenderer.setViewport(width, height), std::invalid_argument) << width << " x " << height;
        EXPECT_EQ(mRenderer.viewport(), Render::Viewport(33, 17));
    }
    mRenderer.render();
    mRenderer.getColorImage(mImage);
    mRenderer.getDepthImage(depth);
    EXPECT_EQ(Size(mImage.width, mImage.height), Size(33, 17));
    EXPECT_EQ(Size(depth.width, depth.height), Size(33, 17));

    mNode->setVisible(false);
    mNode->takeCalls();
    mRenderer.render();
    EXPECT_TRUE(mNode->takeCalls().empty()) << "a hidden scene is not rendered";
}

} // namespace
