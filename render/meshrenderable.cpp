#include "render/meshrenderable.h"

#include "render/camera.h"
#include "render/comexception.h"
#include "render/objmeshloader.h"
#include "render/shaderconfiguration.h"
#include "render/shaderconstants.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace Render {
namespace {

using Vertex = VertexPosNormalTexCoordColor;

constexpr unsigned int kConstantsSlot = 0;
constexpr UINT kVertexStride = sizeof(Vertex);
constexpr std::size_t kVerticesPerTriangle = 3;

VertexShader::InputElements meshInputElements()
{
    return {
        {"POS", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, offsetof(Vertex, x), D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"NML", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, offsetof(Vertex, nx), D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"UV", 0, DXGI_FORMAT_R32G32_FLOAT, 0, offsetof(Vertex, u), D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"COL", 0, DXGI_FORMAT_B8G8R8A8_UNORM, 0, offsetof(Vertex, color), D3D11_INPUT_PER_VERTEX_DATA, 0},
    };
}

double checkedUnitScale(double unitScale)
{
    // Zero would collapse the mesh into a point, infinity or NaN poison every position.
    if (!std::isfinite(unitScale) || unitScale <= 0.0)
        throw std::invalid_argument(fmt::format("Error: the unit scale of a mesh must be a positive number, got {}",
                                                unitScale));
    return unitScale;
}

} // namespace

std::shared_ptr<MeshRenderable> MeshRenderable::create(std::filesystem::path const& path, double unitScale,
                                                       std::string const& name)
{
    return std::make_shared<MeshRenderable>(Private{}, path, unitScale, name);
}

std::shared_ptr<MeshRenderable> MeshRenderable::create(std::shared_ptr<MeshLoader> loader, double unitScale,
                                                       std::string const& name)
{
    return std::make_shared<MeshRenderable>(Private{}, std::move(loader), unitScale, name);
}

MeshRenderable::MeshRenderable(Private, std::shared_ptr<MeshLoader> loader, double unitScale, std::string name)
    : Renderable(std::move(name)), mUnitScale(checkedUnitScale(unitScale)), mLoader(std::move(loader))
{
    if (!mLoader)
        throw std::invalid_argument("Error: a mesh needs a loader");
}

MeshRenderable::MeshRenderable(Private tag, std::filesystem::path const& path, double unitScale, std::string name)
    : MeshRenderable(tag, std::make_shared<ObjMeshLoader>(path), unitScale, std::move(name))
{
}

void MeshRenderable::init(std::size_t, std::shared_ptr<Camera> camera, ATL::CComPtr<ID3D11Device> device,
                          ATL::CComPtr<ID3D11DeviceContext> context)
{
    VertexShader vertexShader = VertexShader::fromHlslResource(device, kShaderName, meshInputElements());
    PixelShader pixelShader = PixelShader::fromHlslResource(device, kShaderName);
    ConstantBuffer<cbPerFrameConstants> constants(device, cbPerFrameConstants{});

    mVertexShader = std::move(vertexShader);
    mPixelShader = std::move(pixelShader);
    mConstants = std::move(constants);
    cbPerFrameConstants& data = mConstants.modify();
    data.modelMatrix = toShaderMatrix(worldMatrix());
    data.unitScale = static_cast<float>(mUnitScale);
    mModelMatrixStale = false;
    writeCameraConstants(*camera);
    writeClippingPlanes();

    // Every init loads afresh: the buffers of an earlier one may belong to another renderer's device.
    dropMesh();
    mDevice = std::move(device);
    try {
        mLoader->load([this](std::vector<Vertex> const& vertices) { addMeshPart(vertices); });
    } catch (...) {
        // Part of a mesh is not drawn: the node stays empty and uninitialized.
        dropMesh();
        throw;
    }
    mContext = std::move(context);
}

void MeshRenderable::dropMesh()
{
    mContext = nullptr;
    mParts.clear();
    mBoundingBox = Math::NBoundingBox<float, 3>();
    mNumTriangles = 0;
}

void MeshRenderable::addMeshPart(std::vector<Vertex> const& vertices)
{
    for (Vertex const& vertex : vertices)
        mBoundingBox.extend(Math::Point<float, 3>(vertex.x, vertex.y, vertex.z));
    mNumTriangles += vertices.size() / kVerticesPerTriangle;

    // An empty part (a shape without faces) has nothing to draw, and Direct3D rejects empty buffers.
    std::size_t first = 0;
    for (std::size_t const count : bufferVertexCounts(vertices.size(), kMaxVerticesPerBuffer)) {
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = static_cast<UINT>(count * sizeof(Vertex));
        desc.Usage = D3D11_USAGE_IMMUTABLE;
        desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
        D3D11_SUBRESOURCE_DATA data{};
        data.pSysMem = vertices.data() + first;
        MeshPart part;
        part.vertexCount = count;
        throwIfFailed(mDevice->CreateBuffer(&desc, &data, &part.vertexBuffer));
        mParts.push_back(std::move(part));
        first += count;
    }
    setNeedsRedraw(true);
}

std::vector<std::size_t> MeshRenderable::bufferVertexCounts(std::size_t vertexCount, std::size_t maxVertices)
{
    std::size_t const maxWholeTriangles = maxVertices / kVerticesPerTriangle * kVerticesPerTriangle;
    if (maxWholeTriangles == 0)
        throw std::invalid_argument("Error: a vertex buffer must hold at least one triangle");
    std::size_t remaining = vertexCount / kVerticesPerTriangle * kVerticesPerTriangle;
    std::vector<std::size_t> counts;
    while (remaining > 0) {
        std::size_t const count = std::min(remaining, maxWholeTriangles);
        counts.push_back(count);
        remaining -= count;
    }
    return counts;
}

void MeshRenderable::writeCameraConstants(Camera const& camera)
{
    cbPerFrameConstants& data = mConstants.modify();
    data.viewProjectionMatrix = toShaderMatrix(camera.viewProjectionMatrix());
    Math::Point<float, 3> const eye = camera.eye();
    data.cameraPosition = {eye.x(), eye.y(), eye.z()};
}

void MeshRenderable::writeClippingPlanes()
{
    cbPerFrameConstants& data = mConstants.modify();
    data.clipping_planes = {};
    auto const& halfSpaces = mClippingVolume.halfSpaces();
    for (std::size_t plane = 0; plane < halfSpaces.size(); ++plane)
        data.clipping_planes[plane] = toShaderVector(halfSpaces[plane].coefficients());
}

void MeshRenderable::onUpdateProjectionMatrix(std::shared_ptr<Camera> const& camera)
{
    mConstants.modify().viewProjectionMatrix = toShaderMatrix(camera->viewProjectionMatrix());
}

void MeshRenderable::onUpdateViewMatrix(std::shared_ptr<Camera> const& camera)
{
    writeCameraConstants(*camera);
}

void MeshRenderable::onUpdateZRange(std::shared_ptr<Camera> const& camera)
{
    onUpdateProjectionMatrix(camera);
}

void MeshRenderable::invalidateWorldMatrix()
{
    Renderable::invalidateWorldMatrix();
    mModelMatrixStale = true;
}

void MeshRenderable::render()
{
    setNeedsRedraw(false);
    if (!isInitialized())
        return;
    if (mModelMatrixStale) {
        mConstants.modify().modelMatrix = toShaderMatrix(worldMatrix());
        mModelMatrixStale = false;
    }

    ID3D11DeviceContext* context = mContext;
    mVertexShader.begin(context);
    mPixelShader.begin(context);
    mConstants.begin(context, ShaderConfiguration::Vertex | ShaderConfiguration::Pixel, kConstantsSlot);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    UINT const stride = kVertexStride;
    UINT const offset = 0;
    for (MeshPart const& part : mParts) {
        ID3D11Buffer* buffer = part.vertexBuffer;
        context->IASetVertexBuffers(0, 1, &buffer, &stride, &offset);
        context->Draw(static_cast<UINT>(part.vertexCount), 0);
    }
    // Nothing of this node stays bound: a dropped mesh must not be kept alive by the context.
    ID3D11Buffer* const noBuffer = nullptr;
    context->IASetVertexBuffers(0, 1, &noBuffer, &stride, &offset);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED);
    mConstants.end(context);
    mVertexShader.end(context);
    mPixelShader.end(context);
}

Math::NBoundingBox<float, 3> MeshRenderable::boundingBox() const
{
    if (mBoundingBox.isEmpty())
        return mBoundingBox;
    float const scale = static_cast<float>(mUnitScale);
    return {mBoundingBox.min() * scale, mBoundingBox.max() * scale};
}

void MeshRenderable::setClippingVolume(Math::ConvexPolytope<float, 3> const& volume)
{
    std::size_t const planeCount = volume.halfSpaces().size();
    if (planeCount > CLIPPING_PLANES_MAX_COUNT)
        throw std::runtime_error("Error: volume contains too many clipping planes, plane count = " +
                                 std::to_string(planeCount));
    if (volume == mClippingVolume)
        return;
    mClippingVolume = volume;
    writeClippingPlanes();
    setNeedsRedraw(true);
}

} // namespace Render
