#include "render/pointshading.h"

#include "math/vertexformats.h"
#include "render/buffersize.h"
#include "render/classificationcolortexture.h"
#include "render/comexception.h"
#include "render/scopedbinding.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>

namespace Render {

namespace {

constexpr char const* kPointShader = "shaders/pointcloud.hlsl";
// Thread group width of the level pass ("numthreads" of cs_main).
constexpr std::size_t kThreadsPerGroup = 64;
constexpr unsigned int kFrameConstantsSlot = 0;
constexpr unsigned int kCountsSlot = 1;
constexpr unsigned int kVisibleNodesSlot = 0;
constexpr unsigned int kClassColorsSlot = 1;
constexpr unsigned int kNodeRecordsSlot = 2;
constexpr unsigned int kPointWordsSlot = 3;
constexpr unsigned int kPointLooksSlot = 4;
constexpr unsigned int kPointLooksTargetSlot = 0;
constexpr UINT kWordBytes = 4;
// Vertices of a point's triangle ("kPointVertices" of the point program).
constexpr UINT kPointVertices = 3;
// Per point the color and the level of detail ("pointLooks").
constexpr std::size_t kLookBytes = 2 * kWordBytes;
static_assert(sizeof(VertexPosColorIntensityClassIndexScanIndexDistance) % kWordBytes == 0,
              "the shading pass reads point records as 32-bit words");
static_assert(kMaxBufferBytes / sizeof(VertexPosColorIntensityClassIndexScanIndexDistance) * kPointVertices <=
                  std::numeric_limits<UINT>::max(),
              "the vertices of the largest point buffer fit one draw");

// A node as the shading pass reads it: two RGBA32 texels, (minimum corner bits, texel in the
// visible-nodes texture) and (depth, first point, point count, 0).
using NodeRecord = std::array<std::uint32_t, 8>;

NodeRecord nodeRecord(Buffer::Node const& node)
{
    return {std::bit_cast<std::uint32_t>(node.min[0]),
            std::bit_cast<std::uint32_t>(node.min[1]),
            std::bit_cast<std::uint32_t>(node.min[2]),
            static_cast<std::uint32_t>(node.index),
            static_cast<std::uint32_t>(node.level),
            static_cast<std::uint32_t>(node.firstPoint),
            static_cast<std::uint32_t>(node.pointCount),
            0};
}

D3D11_SHADER_RESOURCE_VIEW_DESC bufferViewDesc(DXGI_FORMAT format, UINT elements)
{
    D3D11_SHADER_RESOURCE_VIEW_DESC desc{};
    desc.Format = format;
    desc.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
    desc.Buffer.FirstElement = 0;
    desc.Buffer.NumElements = elements;
    return desc;
}

// The constants with the fields that the shading pass does not read cleared: the camera's, which
// change from frame to frame, and those only the vertex and pixel shaders read.
cbPerFrame shadingInputs(cbPerFrame constants)
{
    cbPerFrame const cleared{};
    constants.inv_model = cleared.inv_model;
    constants.view = cleared.view;
    constants.proj = cleared.proj;
    constants.model_view_proj = cleared.model_view_proj;
    constants.inv_model_view_proj = cleared.inv_model_view_proj;
    constants.inv_view_proj = cleared.inv_view_proj;
    constants.tomographicColor = cleared.tomographicColor;
    constants.near_plane = cleared.near_plane;
    constants.far_plane = cleared.far_plane;
    constants.width = cleared.width;
    constants.height = cleared.height;
    constants.aspect = cleared.aspect;
    constants.point_size = cleared.point_size;
    constants.max_point_size = cleared.max_point_size;
    constants.tomo_contrast = cleared.tomo_contrast;
    constants.model_scale = cleared.model_scale;
    constants.use_cloud_colors_in_tomographic_render_modes = cleared.use_cloud_colors_in_tomographic_render_modes;
    return constants;
}

} // namespace

PointShading::PointShading(ATL::CComPtr<ID3D11Device> device)
    : mDevice(std::move(device)), mShader(ComputeShader::fromHlslResource(mDevice, kPointShader)),
      mCounts(mDevice, Counts{})
{
}

void PointShading::ensureCapacity(std::size_t pointCount)
{
    if (mLooks && pointCount <= mCapacity)
        return;
    // Point buffers grow rarely (with the budget); the looks follow them exactly.
    std::size_t const capacity = pointCount;
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = bufferByteWidth(capacity, kLookBytes, "point looks");
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS;
    ATL::CComPtr<ID3D11Buffer> looks;
    throwIfFailed(mDevice->CreateBuffer(&desc, nullptr, &looks));
    auto const elements = static_cast<UINT>(capacity);
    D3D11_SHADER_RESOURCE_VIEW_DESC const viewDesc = bufferViewDesc(DXGI_FORMAT_R32G32_UINT, elements);
    ShaderResourceView view(mDevice, looks, &viewDesc);
    D3D11_UNORDERED_ACCESS_VIEW_DESC targetDesc{};
    targetDesc.Format = DXGI_FORMAT_R32G32_UINT;
    targetDesc.ViewDimension = D3D11_UAV_DIMENSION_BUFFER;
    targetDesc.Buffer.NumElements = elements;
    ATL::CComPtr<ID3D11UnorderedAccessView> target;
    throwIfFailed(mDevice->CreateUnorderedAccessView(looks, &targetDesc, &target));
    mLooks = looks;
    mLooksView = std::move(view);
    mLooksTarget = target;
    mCapacity = capacity;
    // A new buffer holds no result yet.
    mShadedWith.reset();
}

void PointShading::uploadNodeRecords(ID3D11DeviceContext* context, std::vector<Buffer::Node> const& nodes)
{
    if (!mNodeRecords || nodes.size() > mNodeCapacity) {
        std::size_t const capacity = std::max(nodes.size(), mNodeCapacity * 2);
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = bufferByteWidth(capacity, sizeof(NodeRecord), "node records");
        desc.Usage = D3D11_USAGE_DYNAMIC;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        ATL::CComPtr<ID3D11Buffer> records;
        throwIfFailed(mDevice->CreateBuffer(&desc, nullptr, &records));
        D3D11_SHADER_RESOURCE_VIEW_DESC const viewDesc =
            bufferViewDesc(DXGI_FORMAT_R32G32B32A32_UINT, static_cast<UINT>(2 * capacity));
        mNodeRecordsView = ShaderResourceView(mDevice, records, &viewDesc);
        mNodeRecords = records;
        mNodeCapacity = capacity;
    }
    D3D11_MAPPED_SUBRESOURCE mapped{};
    throwIfFailed(context->Map(mNodeRecords, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped));
    auto* const records = static_cast<NodeRecord*>(mapped.pData);
    std::transform(nodes.begin(), nodes.end(), records, nodeRecord);
    context->Unmap(mNodeRecords, 0);
}

void PointShading::viewPoints(ID3D11Buffer* points)
{
    if (points == mViewedPoints)
        return;
    D3D11_BUFFER_DESC desc{};
    points->GetDesc(&desc);
    D3D11_SHADER_RESOURCE_VIEW_DESC const viewDesc = bufferViewDesc(DXGI_FORMAT_R32_UINT, desc.ByteWidth / kWordBytes);
    mPointsView = ShaderResourceView(mDevice, points, &viewDesc);
    mViewedPoints = points;
}

void PointShading::compute(ID3D11DeviceContext* context, ID3D11Buffer* points, std::size_t pointCount,
                           std::vector<Buffer::Node> const& nodes, ShaderResourceView& visibleNodes,
                           ConstantBuffer<cbPerFrame>& frameConstants, ClassificationColorTexture* classColors)
{
    if (pointCount == 0 || nodes.empty()) {
        mCounts.modify().pointCount = 0;
        return;
    }
    ensureCapacity(pointCount);
    uploadNodeRecords(context, nodes);
    viewPoints(points);

    std::size_t const groups = (pointCount + kThreadsPerGroup - 1) / kThreadsPerGroup;
    std::size_t const groupsPerRow = std::min<std::size_t>(groups, D3D11_CS_DISPATCH_MAX_THREAD_GROUPS_PER_DIMENSION);
    std::size_t const rows = (groups + groupsPerRow - 1) / groupsPerRow;
    Counts& counts = mCounts.modify();
    counts.pointCount = static_cast<std::uint32_t>(pointCount);
    counts.nodeCount = static_cast<std::uint32_t>(nodes.size());
    counts.threadsPerRow = static_cast<std::uint32_t>(groupsPerRow * kThreadsPerGroup);

    ScopedBinding const shader(mShader, context);
    ScopedBinding const frame(frameConstants, context, ShaderConfiguration::Compute, kFrameConstantsSlot);
    ScopedBinding const countsBinding(mCounts, context, ShaderConfiguration::Compute, kCountsSlot);
    ScopedBinding const octree(visibleNodes, context, ShaderConfiguration::Compute, kVisibleNodesSlot);
    std::optional<ScopedBinding<ClassificationColorTexture>> classes;
    if (classColors)
        classes.emplace(*classColors, context, ShaderConfiguration::Compute, kClassColorsSlot);
    ScopedBinding const records(mNodeRecordsView, context, ShaderConfiguration::Compute, kNodeRecordsSlot);
    ScopedBinding const words(mPointsView, context, ShaderConfiguration::Compute, kPointWordsSlot);
    ID3D11UnorderedAccessView* const targets[] = {mLooksTarget};
    context->CSSetUnorderedAccessViews(kPointLooksTargetSlot, 1, targets, nullptr);
    context->Dispatch(static_cast<UINT>(groupsPerRow), static_cast<UINT>(rows), 1);
    ID3D11UnorderedAccessView* const noTargets[] = {nullptr};
    context->CSSetUnorderedAccessViews(kPointLooksTargetSlot, 1, noTargets, nullptr);

    mShadedWith = shadingInputs(frameConstants.data());
    mClassColors = classColors;
    mClassificationInfo = classColors ? classColors->classificationInfo() : Math::ClassificationInfo();
}

bool PointShading::isCurrent(cbPerFrame const& frameConstants, ClassificationColorTexture const* classColors) const
{
    if (!mShadedWith || classColors != mClassColors)
        return false;
    // Bitwise, so that a NaN setting compares equal to itself.
    cbPerFrame const inputs = shadingInputs(frameConstants);
    if (std::memcmp(&inputs, &*mShadedWith, sizeof(cbPerFrame)) != 0)
        return false;
    return !classColors || classColors->classificationInfo() == mClassificationInfo;
}

void PointShading::draw(ID3D11DeviceContext* context)
{
    std::uint32_t const pointCount = mCounts.data().pointCount;
    if (pointCount == 0)
        return;
    ScopedBinding const words(mPointsView, context, ShaderConfiguration::Vertex, kPointWordsSlot);
    ScopedBinding const looks(mLooksView, context, ShaderConfiguration::Vertex, kPointLooksSlot);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context->Draw(kPointVertices * pointCount, 0);
}

} // namespace Render
