#include "render/pointlevels.h"

#include "math/vertexformats.h"
#include "render/buffersize.h"
#include "render/comexception.h"
#include "render/scopedbinding.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace Render {

namespace {

constexpr char const* kPointShader = "shaders/pointcloud.hlsl";
// Thread group width of the level pass ("numthreads" of cs_main).
constexpr std::size_t kThreadsPerGroup = 64;
constexpr unsigned int kFrameConstantsSlot = 0;
constexpr unsigned int kCountsSlot = 1;
constexpr unsigned int kVisibleNodesSlot = 0;
constexpr unsigned int kNodeRecordsSlot = 2;
constexpr unsigned int kPointWordsSlot = 3;
constexpr unsigned int kPointLevelsSlot = 4;
constexpr unsigned int kPointLevelsTargetSlot = 0;
constexpr UINT kWordBytes = 4;
static_assert(sizeof(VertexPosColorIntensityClassIndexScanIndexDistance) % kWordBytes == 0,
              "the level pass reads point records as 32-bit words");

// A node as the level pass reads it: two RGBA32 texels, (minimum corner bits, texel in the
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

} // namespace

PointLevels::PointLevels(ATL::CComPtr<ID3D11Device> device)
    : mDevice(std::move(device)), mShader(ComputeShader::fromHlslResource(mDevice, kPointShader)),
      mCounts(mDevice, Counts{})
{
}

void PointLevels::ensureLevelCapacity(std::size_t pointCount)
{
    if (mLevels && pointCount <= mLevelCapacity)
        return;
    // Point buffers grow rarely (with the budget); the levels follow them exactly.
    std::size_t const capacity = pointCount;
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = bufferByteWidth(capacity, 1, "point levels");
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS;
    ATL::CComPtr<ID3D11Buffer> levels;
    throwIfFailed(mDevice->CreateBuffer(&desc, nullptr, &levels));
    D3D11_SHADER_RESOURCE_VIEW_DESC const viewDesc = bufferViewDesc(DXGI_FORMAT_R8_UINT, desc.ByteWidth);
    ShaderResourceView view(mDevice, levels, &viewDesc);
    D3D11_UNORDERED_ACCESS_VIEW_DESC targetDesc{};
    targetDesc.Format = DXGI_FORMAT_R8_UINT;
    targetDesc.ViewDimension = D3D11_UAV_DIMENSION_BUFFER;
    targetDesc.Buffer.NumElements = desc.ByteWidth;
    ATL::CComPtr<ID3D11UnorderedAccessView> target;
    throwIfFailed(mDevice->CreateUnorderedAccessView(levels, &targetDesc, &target));
    mLevels = levels;
    mLevelsView = std::move(view);
    mLevelsTarget = target;
    mLevelCapacity = capacity;
}

void PointLevels::uploadNodeRecords(ID3D11DeviceContext* context, std::vector<Buffer::Node> const& nodes)
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

void PointLevels::viewPoints(ID3D11Buffer* points)
{
    if (points == mViewedPoints)
        return;
    D3D11_BUFFER_DESC desc{};
    points->GetDesc(&desc);
    D3D11_SHADER_RESOURCE_VIEW_DESC const viewDesc = bufferViewDesc(DXGI_FORMAT_R32_FLOAT, desc.ByteWidth / kWordBytes);
    mPointsView = ShaderResourceView(mDevice, points, &viewDesc);
    mViewedPoints = points;
}

void PointLevels::compute(ID3D11DeviceContext* context, ID3D11Buffer* points, std::size_t pointCount,
                          std::vector<Buffer::Node> const& nodes, ShaderResourceView& visibleNodes,
                          ConstantBuffer<cbPerFrame>& frameConstants)
{
    if (pointCount == 0 || nodes.empty())
        return;
    ensureLevelCapacity(pointCount);
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
    ScopedBinding const records(mNodeRecordsView, context, ShaderConfiguration::Compute, kNodeRecordsSlot);
    ScopedBinding const words(mPointsView, context, ShaderConfiguration::Compute, kPointWordsSlot);
    ID3D11UnorderedAccessView* const targets[] = {mLevelsTarget};
    context->CSSetUnorderedAccessViews(kPointLevelsTargetSlot, 1, targets, nullptr);
    context->Dispatch(static_cast<UINT>(groupsPerRow), static_cast<UINT>(rows), 1);
    ID3D11UnorderedAccessView* const noTargets[] = {nullptr};
    context->CSSetUnorderedAccessViews(kPointLevelsTargetSlot, 1, noTargets, nullptr);
}

void PointLevels::begin(ID3D11DeviceContext* context)
{
    mLevelsView.begin(context, ShaderConfiguration::Vertex, kPointLevelsSlot);
}

void PointLevels::end(ID3D11DeviceContext* context)
{
    mLevelsView.end(context);
}

} // namespace Render
