#pragma once

#include "render/comptr.h"
#include "render/export.h"
#include "render/shaderconfiguration.h"
#include "render/stagebinding.h"

#include <d3d11.h>

namespace Render {

// Owns a sampler state and records where it is bound between begin and end. Copies share the sampler.
class MORVID_RENDER_API SamplerState {
public:
    SamplerState() = default;
    SamplerState(ID3D11Device* device, D3D11_SAMPLER_DESC const& desc);

    // Binds the sampler at `slot` of every stage in `stages`; throws "Error: end call is missing" while bound.
    void begin(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot);
    // Binds null where begin bound the sampler; throws "Error: begin call is missing" when not bound.
    void end(ID3D11DeviceContext* context);

    bool isBound() const { return mBinding.isBound(); }
    ID3D11SamplerState* get() const { return mSampler; }

private:
    ATL::CComPtr<ID3D11SamplerState> mSampler;
    StageBinding mBinding;
};

} // namespace Render
