#pragma once

#include "render/buffer.h"
#include "render/cbperframe.h"
#include "render/comptr.h"
#include "render/computeshader.h"
#include "render/constantbuffer.h"
#include "render/export.h"
#include "render/shaderresourceview.h"

#include <d3d11.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Render {

// The octree level of detail of every drawn point, which sizes its square. The compute pass of the
// point program walks the visible-nodes texture once per point whenever the drawn nodes change;
// the vertex shader then reads one value per instance instead of walking the tree for each corner
// of every frame, which a rasterizer without geometry shaders would otherwise pay four times.
class MORVID_RENDER_API PointLevels {
public:
    explicit PointLevels(ATL::CComPtr<ID3D11Device> device);

    // Finds the levels of the `pointCount` point records at the start of `points` (a buffer that
    // allows shader resource views), which hold the points of `nodes` one node after the other.
    // `visibleNodes` is the octree texture the nodes' indices refer to; `frameConstants` gives the
    // root node's size.
    void compute(ID3D11DeviceContext* context, ID3D11Buffer* points, std::size_t pointCount,
                 std::vector<Buffer::Node> const& nodes, ShaderResourceView& visibleNodes,
                 ConstantBuffer<cbPerFrame>& frameConstants);

    // Binds the levels to the vertex stage, where instance i reads the level of point i.
    void begin(ID3D11DeviceContext* context);
    void end(ID3D11DeviceContext* context);

private:
    struct Counts {
        std::uint32_t pointCount = 0;
        std::uint32_t nodeCount = 0;
        std::uint32_t threadsPerRow = 0;
        std::uint32_t padding = 0;
    };

    void ensureLevelCapacity(std::size_t pointCount);
    void uploadNodeRecords(ID3D11DeviceContext* context, std::vector<Buffer::Node> const& nodes);
    void viewPoints(ID3D11Buffer* points);

    ATL::CComPtr<ID3D11Device> mDevice;
    ComputeShader mShader;
    ConstantBuffer<Counts> mCounts;
    ATL::CComPtr<ID3D11Buffer> mNodeRecords;
    ShaderResourceView mNodeRecordsView;
    std::size_t mNodeCapacity = 0;
    ATL::CComPtr<ID3D11Buffer> mViewedPoints;
    ShaderResourceView mPointsView;
    ATL::CComPtr<ID3D11Buffer> mLevels;
    ShaderResourceView mLevelsView;
    ATL::CComPtr<ID3D11UnorderedAccessView> mLevelsTarget;
    std::size_t mLevelCapacity = 0;
};

} // namespace Render
