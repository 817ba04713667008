#pragma once

#include "math/boundingbox.h"
#include "math/convexpolytope.h"
#include "math/vertexformats.h"
#include "render/cbperframeconstants.h"
#include "render/comptr.h"
#include "render/constantbuffer.h"
#include "render/export.h"
#include "render/meshloader.h"
#include "render/pixelshader.h"
#include "render/renderable.h"
#include "render/vertexshader.h"

#include <d3d11.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace Render {

// Scene node of a triangle mesh read through a MeshLoader, lit by a headlight at the camera and cut by
// up to eight clipping planes. It writes color, world position and exact world position like the point
// program, so that picking and post-processing treat it like points.
class MORVID_RENDER_API MeshRenderable : public Renderable, public std::enable_shared_from_this<MeshRenderable> {
    struct Private {};

public:
    static constexpr std::size_t CLIPPING_PLANES_MAX_COUNT = cbPerFrameConstants::kClippingPlaneCount;
    static constexpr char const* kShaderName = "shaders/mesh.hlsl";
    // Direct3D 11 guarantees buffers of 128 MiB on every device; larger parts are split into buffers
    // of whole triangles below that.
    static constexpr std::size_t kMaxVertexBufferBytes = std::size_t{128} * 1024 * 1024;
    static constexpr std::size_t kMaxVerticesPerBuffer =
        kMaxVertexBufferBytes / sizeof(VertexPosNormalTexCoordColor) / 3 * 3;

    // Nothing is read before init. `unitScale` converts file units to scene units and must be a positive
    // finite number (std::invalid_argument otherwise).
    static std::shared_ptr<MeshRenderable> create(std::filesystem::path const& path, double unitScale,
                                                  std::string const& name);
    static std::shared_ptr<MeshRenderable> create(std::shared_ptr<MeshLoader> loader, double unitScale,
                                                  std::string const& name);

    MeshRenderable(Private, std::shared_ptr<MeshLoader> loader, double unitScale, std::string name);
    MeshRenderable(Private, std::filesystem::path const& path, double unitScale, std::string name);

    // Loads the whole mesh on the calling thread, replacing what an earlier init loaded. A loader error
    // is thrown with nothing of the mesh kept; the node then draws nothing until the next init.
    void init(std::size_t rendererId, std::shared_ptr<Camera> camera, ATL::CComPtr<ID3D11Device> device,
              ATL::CComPtr<ID3D11DeviceContext> context) override;
    void onUpdateProjectionMatrix(std::shared_ptr<Camera> const& camera) override;
    void onUpdateViewMatrix(std::shared_ptr<Camera> const& camera) override;
    // The renderer refits an automatic z range every frame and tells the nodes only through this.
    void onUpdateZRange(std::shared_ptr<Camera> const& camera) override;
    void render() override;
    // The loaded vertices' box in file units times the unit scale, before the node's transform.
    Math::NBoundingBox<float, 3> boundingBox() const override;
    // Also covers changes of a parent's transform, which reach the node only this way.
    void invalidateWorldMatrix() override;

    std::size_t numTriangles() const { return mNumTriangles; }
    double unitScale() const { return mUnitScale; }
    // Vertex buffers made so far: one per non-empty part, more for parts above kMaxVerticesPerBuffer.
    std::size_t numVertexBuffers() const { return mParts.size(); }

    // Planes in world coordinates; pixels on the negative side of any plane are cut away. More than
    // CLIPPING_PLANES_MAX_COUNT planes throw std::runtime_error and keep the previous volume.
    void setClippingVolume(Math::ConvexPolytope<float, 3> const& volume);
    Math::ConvexPolytope<float, 3> const& clippingVolume() const { return mClippingVolume; }

    // The vertex counts of the buffers that a triangle list of `vertexCount` vertices is drawn from:
    // whole triangles, at most `maxVertices` (a multiple of 3) each.
    static std::vector<std::size_t> bufferVertexCounts(std::size_t vertexCount, std::size_t maxVertices);

private:
    struct MeshPart {
        std::size_t vertexCount = 0;
        ATL::CComPtr<ID3D11Buffer> vertexBuffer;
    };

    bool isInitialized() const { return mContext != nullptr; }
    void addMeshPart(std::vector<VertexPosNormalTexCoordColor> const& vertices);
    void dropMesh();
    void writeCameraConstants(Camera const& camera);
    void writeClippingPlanes();

    ConstantBuffer<cbPerFrameConstants> mConstants;
    std::vector<MeshPart> mParts;
    ATL::CComPtr<ID3D11Device> mDevice;
    ATL::CComPtr<ID3D11DeviceContext> mContext;
    VertexShader mVertexShader;
    PixelShader mPixelShader;
    Math::NBoundingBox<float, 3> mBoundingBox;
    double mUnitScale;
    std::shared_ptr<MeshLoader> mLoader;
    std::size_t mNumTriangles = 0;
    Math::ConvexPolytope<float, 3> mClippingVolume;
    // The world matrix in the constants is refreshed at the next render.
    bool mModelMatrixStale = true;
};

} // namespace Render
