#pragma once

#include "render/buffer.h"
#include "render/cbperframe.h"
#include "render/comptr.h"
#include "render/computeshader.h"
#include "render/constantbuffer.h"
#include "render/export.h"
#include "render/shaderresourceview.h"

#include "math/classificationinfo.h"

#include <d3d11.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace Render {

class ClassificationColorTexture;

// What the point program needs of every drawn point apart from the camera: its octree level of
// detail, which sizes its disc, whether the filters keep it, and its color in the render mode.
// The compute pass of the point program finds them once per point whenever the drawn nodes or the
// settings change; the vertex shader then reads one pair of words per point instead of filtering,
// coloring and walking the tree for each corner of every frame, which a rasterizer without geometry
// shaders would otherwise pay for every corner.
class MORVID_RENDER_API PointShading {
public:
    explicit PointShading(ATL::CComPtr<ID3D11Device> device);

    // Shades the `pointCount` point records at the start of `points` (a buffer that allows shader
    // resource views), which hold the points of `nodes` one node after the other. `visibleNodes` is
    // the octree texture the nodes' indices refer to; `frameConstants` gives the settings;
    // `classColors` may be null (every class then counts as hidden).
    void compute(ID3D11DeviceContext* context, ID3D11Buffer* points, std::size_t pointCount,
                 std::vector<Buffer::Node> const& nodes, ShaderResourceView& visibleNodes,
                 ConstantBuffer<cbPerFrame>& frameConstants, ClassificationColorTexture* classColors);

    // Whether the last compute used these settings and class colors, so that its result still holds
    // for the same points. The camera is not among them.
    bool isCurrent(cbPerFrame const& frameConstants, ClassificationColorTexture const* classColors) const;

    // Draws the points of the last compute with the bound shaders, constants and targets: one
    // triangle a point, whose vertex shader reads the point's position and the result of the compute.
    void draw(ID3D11DeviceContext* context);

private:
    struct Counts {
        std::uint32_t pointCount = 0;
        std::uint32_t nodeCount = 0;
        std::uint32_t threadsPerRow = 0;
        std::uint32_t padding = 0;
    };

    void ensureCapacity(std::size_t pointCount);
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
    ATL::CComPtr<ID3D11Buffer> mLooks;
    ShaderResourceView mLooksView;
    ATL::CComPtr<ID3D11UnorderedAccessView> mLooksTarget;
    std::size_t mCapacity = 0;
    // The constants of the last compute with the fields it does not read cleared, when there was one.
    std::optional<cbPerFrame> mShadedWith;
    ClassificationColorTexture const* mClassColors = nullptr;
    Math::ClassificationInfo mClassificationInfo;
};

} // namespace Render
