#include "render/lodpointcloud.h"

#include "core/sharedresources.h"
#include "render/buffersize.h"
#include "render/comexception.h"
#include "render/rendermode.h"
#include "render/scopedbinding.h"
#include "render/shader.h"

#include <Eigen/LU>

#include <algorithm>
#include <cstring>

namespace Render {

namespace {

constexpr char const* kPointShader = "shaders/pointcloud.hlsl";
constexpr char const* kTomographicEntryPoint = "ps_tomographic";
constexpr UINT kVertexStride = sizeof(VertexPosColorIntensityClassIndexScanIndexDistance);
constexpr unsigned int kFrameConstantsSlot = 0;

// One prioritizer per renderer, alive while a point cloud of that renderer holds it.
Core::SharedResources<std::uint64_t, NodePrioritizer>& sharedPrioritizers()
{
    static Core::SharedResources<std::uint64_t, NodePrioritizer> registry;
    return registry;
}

Texture1d createVisibleNodesTexture(ID3D11Device* device)
{
    D3D11_TEXTURE1D_DESC desc{};
    desc.Width = static_cast<UINT>(NodePrioritizer::kMaxNodesPerCloud);
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.Usage = D3D11_USAGE_DYNAMIC;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    return Texture1d(device, desc);
}

} // namespace

LoDPointCloud::LoDPointCloud(ATL::CComPtr<ID3D11Device> device, ATL::CComPtr<ID3D11DeviceContext> context,
                             std::uint64_t rendererId, std::uint64_t cloudId, std::size_t pointBudget)
    : mRendererId(rendererId), mCloudId(cloudId), mDevice(std::move(device)), mContext(std::move(context)),
      mFrameConstants(mDevice, cbPerFrame{}), mVisibleNodesTexture(createVisibleNodesTexture(mDevice)),
      mVisibleNodesView(mDevice, mVisibleNodesTexture.get(), nullptr), mPointShading(mDevice), mPointBudget(pointBudget)
{
    // The vertex shader reads the points from the point buffer: no input layout.
    mVertexShader = VertexShader::fromHlslResource(mDevice, kPointShader, {});
    mPixelShader = PixelShader::fromHlslResource(mDevice, kPointShader);
    mTomographicPixelShader = PixelShader::fromCsoString(
        mDevice, Shader::compileShaderFromResource(kPointShader, kTomographicEntryPoint, PixelShader::kProfile));
    ensureVertexCapacity(mPointBudget);
    mPrioritizer = sharedPrioritizers().createOrGet(mRendererId, mPointBudget);
    if (mPointBudget < mPrioritizer->totalMaxPointCount())
        mPrioritizer->setTotalMaxPointCount(mPointBudget);
}

LoDPointCloud::~LoDPointCloud()
{
    mPrioritizer->clear(mCloudId);
}

void LoDPointCloud::setMatrices(Eigen::Matrix4f const& model, Eigen::Matrix4f const& view,
                                Eigen::Matrix4f const& projection)
{
    cbPerFrame& constants = mFrameConstants.modify();
    Eigen::Matrix4f const viewProjection = projection * view;
    Eigen::Matrix4f const modelViewProjection = viewProjection * model;
    constants.model = toShaderMatrix(model);
    constants.inv_model = toShaderMatrix(model.inverse());
    constants.view = toShaderMatrix(view);
    constants.proj = toShaderMatrix(projection);
    constants.model_view_proj = toShaderMatrix(modelViewProjection);
    constants.inv_model_view_proj = toShaderMatrix(modelViewProjection.inverse());
    constants.inv_view_proj = toShaderMatrix(viewProjection.inverse());
    constants.model_scale = model.col(0).head<3>().norm();
}

void LoDPointCloud::setClassificationColors(std::shared_ptr<ClassificationColorTexture> texture)
{
    mClassificationColors = std::move(texture);
}

void LoDPointCloud::ensureVertexCapacity(std::size_t pointCount)
{
    // The shared budget can be raised past this cloud's own budget; the buffer follows.
    std::size_t const capacity = std::max<std::size_t>(pointCount, 1);
    if (mVertexBuffer && capacity <= mVertexCapacity)
        return;
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = bufferByteWidth(capacity, kVertexStride, "points");
    desc.Usage = D3D11_USAGE_DYNAMIC;
    // Read only by shaders: the shading pass reads whole records, the vertex shader positions.
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    ATL::CComPtr<ID3D11Buffer> buffer;
    throwIfFailed(mDevice->CreateBuffer(&desc, nullptr, &buffer));
    mVertexBuffer = buffer;
    mVertexCapacity = capacity;
}

void LoDPointCloud::upload(Buffer const& front)
{
    D3D11_MAPPED_SUBRESOURCE const texels = mVisibleNodesTexture.map(mContext, D3D11_MAP_WRITE_DISCARD);
    if (!front.octreeTexture.empty())
        std::memcpy(texels.pData, front.octreeTexture.data(), front.octreeTexture.size());
    mVisibleNodesTexture.unMap(mContext);

    ensureVertexCapacity(front.vertices.size());
    D3D11_MAPPED_SUBRESOURCE vertices{};
    throwIfFailed(mContext->Map(mVertexBuffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &vertices));
    if (!front.vertices.empty())
        std::memcpy(vertices.pData, front.vertices.data(), front.vertices.size() * kVertexStride);
    mContext->Unmap(mVertexBuffer, 0);

    mNumVisibleOctreeNodes = front.nodes.size();
    mNumVisiblePoints = front.vertices.size();
}

void LoDPointCloud::shadePoints(Buffer const& front)
{
    mPointShading.compute(mContext, mVertexBuffer, front.vertices.size(), front.nodes, mVisibleNodesView,
                          mFrameConstants, mClassificationColors.get());
}

void LoDPointCloud::draw(Buffer const& front, bool newData)
{
    // A failed upload is tried again on the next frame rather than drawing stale ranges.
    mUploadPending = mUploadPending || newData;
    if (mUploadPending) {
        upload(front);
        shadePoints(front);
        mUploadPending = false;
    } else if (!mPointShading.isCurrent(mFrameConstants.data(), mClassificationColors.get())) {
        shadePoints(front);
    }
    if (front.vertices.empty())
        return;

    ScopedBinding const vertexShader(mVertexShader, mContext);
    auto const mode = static_cast<RenderMode>(mFrameConstants.data().point_render_mode);
    bool const tomographic = mode == RenderMode::TomographicDarkContours || mode == RenderMode::TomographicBrightContours;
    ScopedBinding const pixelShader(tomographic ? mTomographicPixelShader : mPixelShader, mContext);
    ScopedBinding const frameConstants(mFrameConstants, mContext, ShaderConfiguration::Vertex | ShaderConfiguration::Pixel,
                                       kFrameConstantsSlot);
    // The nodes lie one after the other in the buffer and their points were shaded before: one draw
    // covers them all, with no per-node constants.
    mPointShading.draw(mContext);
}

} // namespace Render
