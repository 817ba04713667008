#pragma once

#include "render/comptr.h"
#include "render/export.h"
#include "render/shaderconfiguration.h"
#include "render/stagebinding.h"

#include <d3d11.h>

namespace Render {

// Owns a shader resource view and records where it is bound between begin and end.
class MORVID_RENDER_API ShaderResourceView {
public:
    ShaderResourceView() = default;
    // A null `desc` makes a view of the whole resource.
    ShaderResourceView(ID3D11Device* device, ID3D11Resource* resource, D3D11_SHADER_RESOURCE_VIEW_DESC const* desc);
    ShaderResourceView(ShaderResourceView&&) noexcept = default;
    ShaderResourceView& operator=(ShaderResourceView&&) noexcept = default;

    // Binds the view at `slot` of every stage in `stages`; throws "Error: end call is missing" while bound.
    void begin(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot);
    // Binds null where begin bound the view; throws "Error: begin call is missing" when not bound.
    void end(ID3D11DeviceContext* context);

    bool isBound() const { return mBinding.isBound(); }
    ID3D11ShaderResourceView* get() const { return mView; }

private:
    ATL::CComPtr<ID3D11ShaderResourceView> mView;
    StageBinding mBinding;
};

} // namespace Render
