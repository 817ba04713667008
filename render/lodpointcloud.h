#pragma once

#include "core/triplebuffer.h"
#include "render/buffer.h"
#include "render/cbperframe.h"
#include "render/comptr.h"
#include "render/constantbuffer.h"
#include "render/export.h"
#include "render/nodeprioritizer.h"
#include "render/pixelshader.h"
#include "render/pointshading.h"
#include "render/shaderresourceview.h"
#include "render/texture1d.h"
#include "render/vertexshader.h"

#include <Eigen/Core>

#include <d3d11.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace Render {

class ClassificationColorTexture;

// The GPU side of one point cloud: the shader constants, the point buffer, the octree texture
// and the points' shading, filled from the newest Buffer that the cloud's loader published. Joins
// the node prioritizer shared by every point cloud of the same renderer.
class MORVID_RENDER_API LoDPointCloud {
public:
    LoDPointCloud(ATL::CComPtr<ID3D11Device> device, ATL::CComPtr<ID3D11DeviceContext> context,
                  std::uint64_t rendererId, std::uint64_t cloudId, std::size_t pointBudget);
    // Takes the cloud's nodes out of the shared prioritizer, freeing their budget for the others.
    ~LoDPointCloud();
    LoDPointCloud(LoDPointCloud const&) = delete;
    LoDPointCloud& operator=(LoDPointCloud const&) = delete;

    std::uint64_t rendererId() const { return mRendererId; }
    std::uint64_t cloudId() const { return mCloudId; }
    NodePrioritizer& prioritizer() { return *mPrioritizer; }
    Core::TripleBuffer<Buffer>& buffers() { return mBuffers; }

    cbPerFrame const& frameConstants() const { return mFrameConstants.data(); }
    // Marks the constants for upload before the next draw.
    cbPerFrame& modifyFrameConstants() { return mFrameConstants.modify(); }
    // Writes the model, view and projection matrices with their products and inverses.
    void setMatrices(Eigen::Matrix4f const& model, Eigen::Matrix4f const& view, Eigen::Matrix4f const& projection);

    void setClassificationColors(std::shared_ptr<ClassificationColorTexture> texture);

    // Render thread. Uploads `front` first when it is new and shades its points again when they or
    // the settings changed, then draws all its points at once.
    void draw(Buffer const& front, bool newData);

    std::uint64_t numVisiblePoints() const { return mNumVisiblePoints.load(); }
    std::uint64_t numVisibleOctreeNodes() const { return mNumVisibleOctreeNodes.load(); }

private:
    void upload(Buffer const& front);
    void ensureVertexCapacity(std::size_t pointCount);
    void shadePoints(Buffer const& front);

    std::uint64_t const mRendererId;
    std::uint64_t const mCloudId;
    ATL::CComPtr<ID3D11Device> mDevice;
    ATL::CComPtr<ID3D11DeviceContext> mContext;
    ConstantBuffer<cbPerFrame> mFrameConstants;
    VertexShader mVertexShader;
    PixelShader mPixelShader;
    // The tomographic modes' pixels, kept out of the common pixel shader so that it has no branch.
    PixelShader mTomographicPixelShader;
    std::shared_ptr<NodePrioritizer> mPrioritizer;
    Core::TripleBuffer<Buffer> mBuffers;
    std::shared_ptr<ClassificationColorTexture> mClassificationColors;
    ATL::CComPtr<ID3D11Buffer> mVertexBuffer;
    std::size_t mVertexCapacity = 0;
    Texture1d mVisibleNodesTexture;
    ShaderResourceView mVisibleNodesView;
    PointShading mPointShading;
    std::size_t const mPointBudget;
    bool mUploadPending = false;
    std::atomic<std::uint64_t> mNumVisiblePoints{0};
    std::atomic<std::uint64_t> mNumVisibleOctreeNodes{0};
};

} // namespace Render
