#include "render/renderer.h"

#include "graphics/colorimage.h"
#include "graphics/depthimage.h"
#include "core/assignifchanged.h"
#include "render/camera.h"
#include "render/classificationcolortexture.h"
#include "render/comexception.h"
#include "render/renderable.h"
#include "render/shaderconfiguration.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace Render {
namespace {

constexpr unsigned int kInitialWidth = 640;
constexpr unsigned int kInitialHeight = 480;
constexpr unsigned int kStencilReference = 1;
constexpr unsigned int kSampleMaskAll = 0xffffffff;
constexpr std::array<char const*, 3> kScenePassInputs{"color", "worldPosition", "exactWorldPosition"};
// The output pass targets in the order they are added: the color image, then the two point targets.
constexpr std::size_t kOutputColorTarget = 0;
constexpr std::size_t kOutputPointTargets = 1;
constexpr std::size_t kOutputPointTargetCount = 2;

void createDevice(ATL::CComPtr<ID3D11Device>& device, ATL::CComPtr<ID3D11DeviceContext>& context)
{
    throwIfFailed(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                    &device, nullptr, &context));
    if (device->GetFeatureLevel() < D3D_FEATURE_LEVEL_11_0)
        throw std::runtime_error("needs at least a DirectX 11.0 graphics card");
}

D3D11_BLEND_DESC alphaBlendDescription()
{
    D3D11_BLEND_DESC desc{};
    desc.AlphaToCoverageEnable = FALSE;
    desc.IndependentBlendEnable = TRUE;
    for (auto& target : desc.RenderTarget) {
        target.BlendEnable = FALSE;
        target.SrcBlend = D3D11_BLEND_ONE;
        target.DestBlend = D3D11_BLEND_ZERO;
        target.BlendOp = D3D11_BLEND_OP_ADD;
        target.SrcBlendAlpha = D3D11_BLEND_ONE;
        target.DestBlendAlpha = D3D11_BLEND_ZERO;
        target.BlendOpAlpha = D3D11_BLEND_OP_ADD;
        target.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    }
    auto& color = desc.RenderTarget[0];
    color.BlendEnable = TRUE;
    color.SrcBlend = D3D11_BLEND_SRC_ALPHA;
    color.DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
    return desc;
}

D3D11_BLEND_DESC opaqueBlendDescription()
{
    D3D11_BLEND_DESC desc = alphaBlendDescription();
    desc.IndependentBlendEnable = FALSE;
    desc.RenderTarget[0].BlendEnable = FALSE;
    desc.RenderTarget[0].SrcBlend = D3D11_BLEND_ONE;
    desc.RenderTarget[0].DestBlend = D3D11_BLEND_ZERO;
    return desc;
}

D3D11_RASTERIZER_DESC rasterizerDescription()
{
    D3D11_RASTERIZER_DESC desc{};
    desc.FillMode = D3D11_FILL_SOLID;
    desc.CullMode = D3D11_CULL_NONE;
    desc.FrontCounterClockwise = FALSE;
    desc.DepthClipEnable = TRUE;
    return desc;
}

D3D11_TEXTURE2D_DESC stagingDescription(DXGI_FORMAT format)
{
    D3D11_TEXTURE2D_DESC desc{};
    desc.MipLevels = 0; // as the pass textures, so that whole-resource copies are valid
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_STAGING;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    return desc;
}

Texture2d createStaging(ID3D11Device* device, DXGI_FORMAT format, unsigned int width, unsigned int height)
{
    return Texture2d(device, stagingDescription(format), width, height, 1);
}

float clearDepthFor(bool zBufferReversed, Viewport const& viewport)
{
    return zBufferReversed ? viewport.minDepth() : viewport.maxDepth();
}

RenderPass createScenePass(ATL::CComPtr<ID3D11Device> const& device, unsigned int width, unsigned int height,
                           float clearDepth)
{
    RenderPass pass(device, width, height);
    pass.addDepthBuffer(D3D11_CLEAR_DEPTH, clearDepth, 0);
    pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
    pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
    pass.addRenderTarget("exactWorldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
    pass.setClearValue("worldPosition", 0.0f, 0.0f, 0.0f, 0.0f);
    pass.setClearValue("exactWorldPosition", 0.0f, 0.0f, 0.0f, 0.0f);
    return pass;
}

RenderPass createOutputPass(ATL::CComPtr<ID3D11Device> const& device, unsigned int width, unsigned int height)
{
    RenderPass pass(device, width, height);
    pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
    pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
    // The color before eye-dome lighting, which the point readback reports.
    pass.addRenderTarget("unshadedColor", DXGI_FORMAT_B8G8R8A8_UNORM);
    pass.setClearValue("worldPosition", 0.0f, 0.0f, 0.0f, 0.0f);
    return pass;
}

// Binds `count` targets of the pass from index `first` on as render targets 0, 1, ...
void bindTargets(ID3D11DeviceContext* context, RenderPass const& pass, std::size_t first, std::size_t count)
{
    context->OMSetRenderTargets(static_cast<UINT>(count), pass.renderTargetViews().data() + first, nullptr);
}

// The scene pass targets bound as the post-process inputs while it lives; unbound on unwinding too,
// so that a failed frame does not keep the next one from binding them.
class ScenePassInputs {
public:
    ScenePassInputs(RenderPass& pass, ID3D11DeviceContext* context) : mPass(pass), mContext(context)
    {
        try {
            for (; mBound < kScenePassInputs.size(); ++mBound)
                mPass.bindTexture(context, kScenePassInputs[mBound], ShaderConfiguration::Pixel,
                                  static_cast<unsigned int>(mBound));
        } catch (...) {
            unbind();
            throw;
        }
    }
    ~ScenePassInputs() { unbind(); }
    ScenePassInputs(ScenePassInputs const&) = delete;
    ScenePassInputs& operator=(ScenePassInputs const&) = delete;

private:
    void unbind()
    {
        for (; mBound > 0; --mBound)
            mPass.unbindTexture(mContext, kScenePassInputs[mBound - 1]);
    }

    RenderPass& mPass;
    ID3D11DeviceContext* mContext;
    std::size_t mBound = 0;
};

} // namespace

Renderer::Renderer(bool zBufferReversed)
    : mCamera(std::make_shared<Camera>(zBufferReversed))
    , mDepthStatesReversed(zBufferReversed)
    , mScenePass(nullptr, kInitialWidth, kInitialHeight)
    , mOutputPass(nullptr, kInitialWidth, kInitialHeight)
{
    createDevice(mDevice, mDeviceContext);
    setOrthographic(2.0f, 2.0f, -1.0f, 1.0f);
    setBackgroundColor(255, 255, 255, 255);

    auto const width = static_cast<unsigned int>(viewport().width());
    auto const height = static_cast<unsigned int>(viewport().height());
    mScenePass = createScenePass(mDevice, width, height, clearDepthFor(zBufferReversed, viewport()));
    mOutputPass = createOutputPass(mDevice, width, height);
    mDepthTestState = DepthStencilState(mDevice, zBufferReversed, true, true);
    mNoDepthState = DepthStencilState(mDevice, zBufferReversed, false, false);
    mAlphaBlendState = BlendState(mDevice, alphaBlendDescription());
    mOpaqueBlendState = BlendState(mDevice, opaqueBlendDescription());
    mRasterizerState = RasterizerState(mDevice, rasterizerDescription());
    mColorStaging = createStaging(mDevice, DXGI_FORMAT_B8G8R8A8_UNORM, width, height);
    mDepthStaging = createStaging(mDevice, DXGI_FORMAT_D32_FLOAT, width, height);
    mPointChunkStaging = createStaging(mDevice, DXGI_FORMAT_R32G32B32A32_FLOAT, width, height);
    mPickStaging = createStaging(mDevice, DXGI_FORMAT_R32G32B32A32_FLOAT, width, height);
    mClassificationColorTexture = std::make_shared<ClassificationColorTexture>(mDevice);
    mPostProcess = PostProcess(mDevice);
    mPostProcess.setBackgroundColor(mBackgroundColor);
}

Renderer::~Renderer()
{
    if (mScene)
        mScene->deinit();
}

Viewport const& Renderer::viewport() const
{
    return mCamera->viewport();
}

void Renderer::raiseRedrawFlag()
{
    mCamera->setNeedsRedraw(true);
}

void Renderer::setScene(std::shared_ptr<Renderable> scene)
{
    if (mScene)
        mScene->deinit();
    mScene = std::move(scene);
    if (!mScene)
        return;
    mScene->init(id(), mCamera, mDevice, mDeviceContext);
    // Every setting, so that the new scene draws what the renderer reports.
    mScene->onUpdateRenderMode(mRenderMode);
    mScene->onUpdateTomographicColor(mTomographicColor);
    mScene->onUpdateUseCloudColorsInTomographicRenderModes(mUseCloudColorsInTomographicRenderModes);
    mScene->onUpdateDistanceColorMap(mDistanceColorMap);
    mScene->onUpdateIntensityColorMap(mIntensityColorMap);
    mScene->onUpdateUseSignedDistance(mUseSignedDistance);
    mScene->onUpdateDistanceColorMapRange(mMinDistance, mMaxDistance);
    mScene->onUpdatePassFailDistanceRange(mMinDistancePassFail, mMaxDistancePassFail);
    mScene->onUpdateWarnDistanceRange(mMinDistanceWarn, mMaxDistanceWarn);
    mScene->onUpdateIntensityColorMapRange(mMinIntensity, mMaxIntensity);
    mScene->onUpdateClassificationColorTexture(mClassificationColorTexture);
    mScene->onUpdateClassVisibilityActive(mClassVisibilityActive);
    mScene->onUpdateIntensityBlendFactor(mIntensityBlendFactor);
    mScene->onUpdatePlaneForDistanceColorization(mColorizationPlane);
    mScene->onUpdateMeshForDistanceColorization(mColorizationMesh);
    mScene->onUpdateMeshClippingActive(mMeshClippingActive);
    mScene->onUpdateClippingRegion(mClippingRegion);
    mScene->onUpdateRegionClippingActive(mRegionClippingActive);
}

void Renderer::setViewport(std::size_t width, std::size_t height)
{
    if (width == viewport().width() && height == viewport().height())
        return;
    if (width == 0 || height == 0 || width > Camera::kMaxViewportSize || height > Camera::kMaxViewportSize)
        throw std::invalid_argument("viewport size " + std::to_string(width) + " x " + std::to_string(height) +
                                    " is outside 1 x 1 to 16384 x 16384");
    // Everything new is built before anything changes, so a failure leaves the
    // renderer at its old, consistent size.
    resizeTargets(static_cast<unsigned int>(width), static_cast<unsigned int>(height));
    mCamera->setViewport(width, height);
    notifyScene([this](Renderable& scene) {
        scene.onUpdateViewport(mCamera);
        scene.onUpdateProjectionMatrix(mCamera);
    });
    mPostProcess.setViewport(viewport());
    raiseRedrawFlag();
}

void Renderer::resizeTargets(unsigned int width, unsigned int height)
{
    RenderPass scenePass =
        createScenePass(mDevice, width, height, clearDepthFor(mCamera->isZBufferReversed(), viewport()));
    scenePass.setClearValue("color", mScenePass.clearValue("color")[0], mScenePass.clearValue("color")[1],
                            mScenePass.clearValue("color")[2], mScenePass.clearValue("color")[3]);
    RenderPass outputPass = createOutputPass(mDevice, width, height);
    outputPass.setClearValue("color", mBackgroundColor);
    Texture2d colorStaging = createStaging(mDevice, DXGI_FORMAT_B8G8R8A8_UNORM, width, height);
    Texture2d depthStaging = createStaging(mDevice, DXGI_FORMAT_D32_FLOAT, width, height);
    Texture2d pointChunkStaging = createStaging(mDevice, DXGI_FORMAT_R32G32B32A32_FLOAT, width, height);
    Texture2d pickStaging = createStaging(mDevice, DXGI_FORMAT_R32G32B32A32_FLOAT, width, height);

    mScenePass = std::move(scenePass);
    mOutputPass = std::move(outputPass);
    // Nothing drawn at the new size yet: the new point targets stay as created.
    mPointOutputsCurrent = true;
    mColorStaging = std::move(colorStaging);
    mDepthStaging = std::move(depthStaging);
    mPointChunkStaging = std::move(pointChunkStaging);
    mPickStaging = std::move(pickStaging);
}

// A projection may come with its own depth convention; the depth test and the
// depth clear value must follow it, or the test would keep the farthest fragment.
void Renderer::adoptDepthConvention()
{
    bool const reversed = mCamera->isZBufferReversed();
    if (reversed == mDepthStatesReversed || !mDevice)
        return;
    DepthStencilState depthTest(mDevice, reversed, true, true);
    DepthStencilState noDepth(mDevice, reversed, false, false);
    mDepthTestState = std::move(depthTest);
    mNoDepthState = std::move(noDepth);
    mScenePass.setDepthStencilClearValues(D3D11_CLEAR_DEPTH, clearDepthFor(reversed, viewport()), 0);
    mDepthStatesReversed = reversed;
}

template <class Change>
void Renderer::changeView(Change&& change)
{
    Eigen::Matrix4f const before = mCamera->viewMatrix();
    change(*mCamera);
    if (mCamera->viewMatrix() == before)
        return;
    updateZRangeIfNeeded();
    notifyScene([this](Renderable& scene) { scene.onUpdateViewMatrix(mCamera); });
    raiseRedrawFlag();
}

template <class Change>
void Renderer::changeProjection(Change&& change, bool refitZRange)
{
    Eigen::Matrix4f const before = mCamera->projectionMatrix();
    change(*mCamera);
    adoptDepthConvention();
    if (mCamera->projectionMatrix() == before)
        return;
    if (refitZRange)
        updateZRangeIfNeeded();
    notifyScene([this](Renderable& scene) { scene.onUpdateProjectionMatrix(mCamera); });
    raiseRedrawFlag();
}

void Renderer::setPerspective(float fovYDeg, float zNear, float zFar, float centerOffsetX, float centerOffsetY)
{
    changeProjection([&](Camera& camera) { camera.setPerspective(fovYDeg, zNear, zFar, centerOffsetX, centerOffsetY); });
}

void Renderer::setPerspectiveOffCenter(float left, float right, float bottom, float top, float zNear, float zFar,
                                       bool zBufferReversed)
{
    changeProjection([&](Camera& camera) {
        camera.setPerspectiveOffCenter(left, right, bottom, top, zNear, zFar, zBufferReversed);
    });
}

void Renderer::setOrthographic(float width, float height, float zNear, float zFar)
{
    changeProjection([&](Camera& camera) { camera.setOrthographic(width, height, zNear, zFar); });
}

void Renderer::setOrthographic(float height, float zNear, float zFar)
{
    setOrthographic(height * static_cast<float>(aspectRatio()), height, zNear, zFar);
}

void Renderer::setProjection(Eigen::Matrix4f const& projection, float minDepth, float maxDepth, bool zBufferReversed)
{
    changeProjection(
        [&](Camera& camera) { camera.setProjection(projection, minDepth, maxDepth, zBufferReversed); });
}

void Renderer::setViewMatrix(Eigen::Matrix4f const& viewMatrix)
{
    changeView([&](Camera& camera) { camera.setViewMatrix(viewMatrix); });
}

void Renderer::setCameraPose(Math::Point<float, 3> const& eye, Eigen::Vector3f const& direction,
                             Eigen::Vector3f const& up)
{
    changeView([&](Camera& camera) { camera.setPose(eye, direction, up); });
}

void Renderer::setCameraPose(Math::Point<float, 3> const& eye, Math::Point<float, 3> const& target,
                             Eigen::Vector3f const& up)
{
    changeView([&](Camera& camera) { camera.setPose(eye, target, up); });
}

void Renderer::setZNearAndFarViaBoundingBox(Math::NBoundingBox<float, 3> const& box)
{
    changeProjection([&](Camera& camera) { camera.setZNearAndFarViaBoundingBox(box); }, false);
}

void Renderer::setModelMatrix(Eigen::Matrix4f const& modelMatrix)
{
    if (!Core::assignIfChanged(mModelMatrix, modelMatrix))
        return;
    notifyScene([&](Renderable& scene) { scene.setMatrix(modelMatrix); });
    raiseRedrawFlag();
}

void Renderer::updateZRangeIfNeeded()
{
    if (!mAutoAdjustZRange)
        return;
    mCamera->setZNearAndFarViaBoundingBox(boundingBox());
    notifyScene([this](Renderable& scene) { scene.onUpdateZRange(mCamera); });
}

Eigen::Matrix4f const& Renderer::viewMatrix() const
{
    return mCamera->viewMatrix();
}

Eigen::Matrix4f const& Renderer::projectionMatrix() const
{
    return mCamera->projectionMatrix();
}

Eigen::Matrix4f const& Renderer::viewProjectionMatrix() const
{
    return mCamera->viewProjectionMatrix();
}

Eigen::Matrix4f Renderer::modelViewProjectionMatrix() const
{
    return mCamera->viewProjectionMatrix() * mModelMatrix;
}

float Renderer::ndcZNear() const
{
    return mCamera->isZBufferReversed() ? 1.0f : 0.0f;
}

float Renderer::ndcZFar() const
{
    return mCamera->isZBufferReversed() ? 0.0f : 1.0f;
}

bool Renderer::isOrthographic() const
{
    return mCamera->isOrthographic();
}

bool Renderer::isPerspective() const
{
    return mCamera->isPerspective();
}

Math::Point<float, 3> Renderer::eye() const
{
    return mCamera->eye();
}

Eigen::Vector3f Renderer::rightDirection() const
{
    return mCamera->viewMatrix().block<1, 3>(0, 0).transpose();
}

Eigen::Vector3f Renderer::upDirection() const
{
    return mCamera->viewMatrix().block<1, 3>(1, 0).transpose();
}

Eigen::Vector3f Renderer::viewDirection() const
{
    return mCamera->viewDirection();
}

void Renderer::getZRange(float& zNear, float& zFar) const
{
    zNear = mCamera->zNear();
    zFar = mCamera->zFar();
}

double Renderer::aspectRatio() const
{
    return viewport().aspectRatio();
}

void Renderer::render()
{
    ID3D11DeviceContext* context = mDeviceContext;
    viewport().set(context);
    updateZRangeIfNeeded();

    mScenePass.begin(context);
    Math::Color const sceneClearColor = (mScene ? mScene->backgroundColor() : std::nullopt).value_or(mBackgroundColor);
    mScenePass.setClearValue("color", sceneClearColor);
    if (mScene && mScene->isTransparent()) {
        mAlphaBlendState.set(context, nullptr, kSampleMaskAll);
        mNoDepthState.set(context, kStencilReference);
    } else {
        mDepthTestState.set(context, kStencilReference);
    }
    mRasterizerState.set(context);
    mScenePass.clearAllRenderTargets(context, true);
    if (mScene && mScene->visible())
        mScene->render();
    mScenePass.end(context);

    // The post-process writes every pixel of the color target: nothing to clear. The point
    // targets follow when a readback asks for them.
    mPointOutputsCurrent = false;
    if (mPostProcess.eyeDomeLighting())
        mPostProcess.setEyeDomeLightingView(mCamera->viewMatrix(), mCamera->projectionMatrix());
    postProcessInto(kOutputColorTarget, 1, &PostProcess::draw);

    mCamera->setNeedsRedraw(false);
    mPointChunkColumn = 0;
    mPointChunkRow = 0;
}

void Renderer::postProcessInto(std::size_t firstTarget, std::size_t targetCount,
                               void (PostProcess::*draw)(ID3D11DeviceContext*))
{
    ID3D11DeviceContext* context = mDeviceContext;
    bindTargets(context, mOutputPass, firstTarget, targetCount);
    mOpaqueBlendState.set(context, nullptr, kSampleMaskAll);
    mNoDepthState.set(context, kStencilReference);
    {
        ScenePassInputs const inputs(mScenePass, context);
        (mPostProcess.*draw)(context);
    }
    mOutputPass.end(context);
}

RenderPass const& Renderer::pointOutputs()
{
    if (mPointOutputsCurrent)
        return mOutputPass;
    viewport().set(mDeviceContext);
    postProcessInto(kOutputPointTargets, kOutputPointTargetCount, &PostProcess::drawPointOutputs);
    mPointOutputsCurrent = true;
    return mOutputPass;
}

bool Renderer::needsRedraw() const
{
    if (mCamera->needsRedraw())
        return true;
    return mScene && mScene->needsRedraw();
}

void Renderer::diagnose() const
{
    if (mScene)
        mScene->diagnose();
}

Math::NBoundingBox<float, 3> Renderer::boundingBox() const
{
    return mScene ? mScene->boundingBoxWorld() : Math::NBoundingBox<float, 3>();
}

void Renderer::autoAdjustBrightnessAndContrast(float lowerQuantile, float upperQuantile)
{
    if (!mScene)
        return;
    float brightness = 0.0f;
    float contrast = 1.0f;
    mScene->brightnessAndContrast(lowerQuantile, upperQuantile, brightness, contrast);
    mPostProcess.setBrightness(brightness);
    mPostProcess.setContrast(contrast);
    raiseRedrawFlag();
}

template <class Image>
void Renderer::readBack(Texture2d const& source, Texture2d const& staging, Image& image)
{
    staging.copy(mDeviceContext, source);
    D3D11_MAPPED_SUBRESOURCE const mapped = staging.map(mDeviceContext, D3D11_MAP_READ);
    // The staging texture and the viewport always have the same size; the
    // texture's own size bounds the copy all the same.
    std::size_t const width = std::min<std::size_t>(viewport().width(), staging.width());
    std::size_t const height = std::min<std::size_t>(viewport().height(), staging.height());
    try {
        image.resize(width, height, mapped.RowPitch);
        if (image.sizeInBytes() != std::size_t{mapped.RowPitch} * height)
            throw std::runtime_error("image size does not match");
    } catch (...) {
        staging.unMap(mDeviceContext);
        throw;
    }
    std::memcpy(image.data(), mapped.pData, image.sizeInBytes());
    staging.unMap(mDeviceContext);
}

void Renderer::readBackRows(Texture2d const& source, Texture2d const& staging, std::span<std::byte> destination,
                            std::size_t stride, std::size_t rows)
{
    std::size_t const rowCount = std::min<std::size_t>({rows, viewport().height(), staging.height()});
    // Divided rather than multiplied: a huge stride would wrap the product and pass.
    if (rowCount != 0 && stride > destination.size() / rowCount)
        throw std::invalid_argument("destination holds fewer than the requested rows");
    staging.copy(mDeviceContext, source);
    D3D11_MAPPED_SUBRESOURCE const mapped = staging.map(mDeviceContext, D3D11_MAP_READ);
    std::size_t const rowBytes = std::min<std::size_t>(mapped.RowPitch, stride);
    auto const* sourceRow = static_cast<std::byte const*>(mapped.pData);
    for (std::size_t row = 0; row < rowCount; ++row)
        std::memcpy(destination.data() + row * stride, sourceRow + row * mapped.RowPitch, rowBytes);
    staging.unMap(mDeviceContext);
}

void Renderer::getColorImage(Graphics::ColorImage& image)
{
    readBack(mOutputPass.texture("color"), mColorStaging, image);
}

void Renderer::getDepthImage(Graphics::DepthImage& image)
{
    readBack(mScenePass.depthTexture(), mDepthStaging, image);
}

void Renderer::getColorImage(std::span<std::byte> destination, std::size_t stride, std::size_t rows)
{
    readBackRows(mOutputPass.texture("color"), mColorStaging, destination, stride, rows);
}

void Renderer::getDepthImage(std::span<std::byte> destination, std::size_t stride, std::size_t rows)
{
    readBackRows(mScenePass.depthTexture(), mDepthStaging, destination, stride, rows);
}

} // namespace Render
