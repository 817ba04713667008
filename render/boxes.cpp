#include "render/boxes.h"

#include "render/buffersize.h"
#include "render/comexception.h"

#include <cstring>
#include <stdexcept>

namespace Render {
namespace {

constexpr UINT kVerticesPerBox = 24;
constexpr UINT kBoxStride = sizeof(BoxWithColor);
constexpr unsigned int kConstantsSlot = 0;

VertexShader::InputElements boxInputElements()
{
    return {
        {"POS_MIN", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"POS_MAX", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, D3D11_APPEND_ALIGNED_ELEMENT, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"COL", 0, DXGI_FORMAT_B8G8R8A8_UNORM, 0, D3D11_APPEND_ALIGNED_ELEMENT, D3D11_INPUT_PER_INSTANCE_DATA, 1},
    };
}

BoxWithColor boxFrom(Math::NBoundingBox<float, 3> const& box, Math::Color const& color)
{
    return BoxWithColor{{box.min()[0], box.min()[1], box.min()[2]}, {box.max()[0], box.max()[1], box.max()[2]}, color};
}

} // namespace

Boxes::Boxes(ATL::CComPtr<ID3D11Device> const& device, std::size_t capacity, BoxWithColor const* initialBoxes)
    : mVertexShader(VertexShader::fromHlslResource(device, kShaderName, boxInputElements())),
      mPixelShader(PixelShader::fromHlslResource(device, kShaderName)), mConstants(device, Constants{}),
      mCapacity(capacity)
{
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = bufferByteWidth(capacity, kBoxStride, "boxes");
    desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    if (initialBoxes) {
        desc.Usage = D3D11_USAGE_IMMUTABLE;
        D3D11_SUBRESOURCE_DATA data{};
        data.pSysMem = initialBoxes;
        throwIfFailed(device->CreateBuffer(&desc, &data, &mInstanceBuffer));
        mDrawCount = capacity;
    } else {
        desc.Usage = D3D11_USAGE_DYNAMIC;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        throwIfFailed(device->CreateBuffer(&desc, nullptr, &mInstanceBuffer));
    }
}

Boxes::Boxes(ATL::CComPtr<ID3D11Device> const& device, std::vector<BoxWithColor> const& boxes)
    : Boxes(device, boxes.size(), boxes.data())
{
}

Boxes::Boxes(ATL::CComPtr<ID3D11Device> const& device, std::size_t capacity) : Boxes(device, capacity, nullptr) {}

Boxes::Boxes(ATL::CComPtr<ID3D11Device> const& device, Math::NBoundingBox<float, 3> const& box,
             Math::Color const& color)
    : Boxes(device, std::vector<BoxWithColor>{boxFrom(box, color)})
{
}

void Boxes::update(ID3D11DeviceContext* context, std::vector<BoxWithColor> const& boxes)
{
    if (boxes.size() > mCapacity)
        throw std::length_error("Error: more boxes than the capacity of the box set");
    D3D11_MAPPED_SUBRESOURCE mapped{};
    throwIfFailed(context->Map(mInstanceBuffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped));
    std::memcpy(mapped.pData, boxes.data(), boxes.size() * sizeof(BoxWithColor));
    context->Unmap(mInstanceBuffer, 0);
    mDrawCount = boxes.size();
}

void Boxes::setModelViewProjection(Eigen::Matrix<float, 4, 4, 0, 4, 4> const& matrix)
{
    mConstants.modify().world_view_proj = toShaderMatrix(matrix);
}

void Boxes::draw(ID3D11DeviceContext* context)
{
    mVertexShader.begin(context);
    mPixelShader.begin(context);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_LINELIST);
    mConstants.begin(context, ShaderConfiguration::Vertex, kConstantsSlot);
    ID3D11Buffer* buffer = mInstanceBuffer;
    UINT const stride = kBoxStride;
    UINT const offset = 0;
    context->IASetVertexBuffers(0, 1, &buffer, &stride, &offset);
    context->DrawInstanced(kVerticesPerBox, static_cast<UINT>(mDrawCount), 0, 0);
    mVertexShader.end(context);
    mPixelShader.end(context);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED);
    mConstants.end(context);
}

} // namespace Render
