#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

namespace Render {

// Owns one 1D texture.
class MORVID_RENDER_API Texture1d {
public:
    Texture1d() = default;
    Texture1d(ID3D11Device* device, D3D11_TEXTURE1D_DESC const& desc);
    Texture1d(Texture1d&&) noexcept = default;
    Texture1d& operator=(Texture1d&&) noexcept = default;

    void copy(ID3D11DeviceContext* context, Texture1d const& source);
    D3D11_MAPPED_SUBRESOURCE map(ID3D11DeviceContext* context, D3D11_MAP mapType);
    void unMap(ID3D11DeviceContext* context);

    ID3D11Texture1D* get() const { return mTexture; }

private:
    ATL::CComPtr<ID3D11Texture1D> mTexture;
};

} // namespace Render
