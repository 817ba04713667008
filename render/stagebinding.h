#pragma once

#include "render/shaderconfiguration.h"

#include <d3d11.h>

#include <stdexcept>
#include <utility>

namespace Render {

// The stages and slot a resource is bound to between begin and end, with the checks of that
// discipline. Moving hands the record over and leaves the source unbound.
class StageBinding {
public:
    StageBinding() = default;
    StageBinding(StageBinding const&) = default;
    StageBinding& operator=(StageBinding const&) = default;
    StageBinding(StageBinding&& other) noexcept
        : mStages(std::exchange(other.mStages, ShaderConfiguration{})), mSlot(std::exchange(other.mSlot, 0u))
    {
    }
    StageBinding& operator=(StageBinding&& other) noexcept
    {
        mStages = std::exchange(other.mStages, ShaderConfiguration{});
        mSlot = std::exchange(other.mSlot, 0u);
        return *this;
    }

    // Records a new binding; throws when the previous one was not ended or no stage is given.
    void open(ShaderConfiguration stages, unsigned int slot)
    {
        if (isBound())
            throw std::logic_error("Error: end call is missing");
        if (isEmpty(stages))
            throw std::invalid_argument("Error: a binding needs at least one shader stage");
        mStages = stages;
        mSlot = slot;
    }

    // Ends the recorded binding; throws when there is none.
    void close()
    {
        if (!isBound())
            throw std::logic_error("Error: begin call is missing");
        mStages = ShaderConfiguration{};
        mSlot = 0;
    }

    bool isBound() const { return !isEmpty(mStages); }
    ShaderConfiguration stages() const { return mStages; }
    unsigned int slot() const { return mSlot; }

private:
    ShaderConfiguration mStages{};
    unsigned int mSlot = 0;
};

// Setters of one kind of binding on the four stages, e.g. &ID3D11DeviceContext::VSSetShaderResources.
template <class Resource>
struct StageSetters {
    using Setter = void (STDMETHODCALLTYPE ID3D11DeviceContext::*)(UINT, UINT, Resource* const*);
    Setter vertex;
    Setter pixel;
    Setter geometry;
    Setter compute;
};

// Binds `resource` (or null) at `slot` on every stage of `stages`: vertex, pixel, geometry, compute.
template <class Resource>
void bindToStages(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot, Resource* resource,
                  StageSetters<Resource> const& setters)
{
    if (hasStage(stages, ShaderConfiguration::Vertex))
        (context->*setters.vertex)(slot, 1, &resource);
    if (hasStage(stages, ShaderConfiguration::Pixel))
        (context->*setters.pixel)(slot, 1, &resource);
    if (hasStage(stages, ShaderConfiguration::Geometry))
        (context->*setters.geometry)(slot, 1, &resource);
    if (hasStage(stages, ShaderConfiguration::Compute))
        (context->*setters.compute)(slot, 1, &resource);
}

inline void bindShaderResourceToStages(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot,
                                       ID3D11ShaderResourceView* view)
{
    bindToStages<ID3D11ShaderResourceView>(context, stages, slot, view,
                                           {&ID3D11DeviceContext::VSSetShaderResources,
                                            &ID3D11DeviceContext::PSSetShaderResources,
                                            &ID3D11DeviceContext::GSSetShaderResources,
                                            &ID3D11DeviceContext::CSSetShaderResources});
}

inline void bindSamplerToStages(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot,
                                ID3D11SamplerState* sampler)
{
    bindToStages<ID3D11SamplerState>(context, stages, slot, sampler,
                                     {&ID3D11DeviceContext::VSSetSamplers, &ID3D11DeviceContext::PSSetSamplers,
                                      &ID3D11DeviceContext::GSSetSamplers, &ID3D11DeviceContext::CSSetSamplers});
}

inline void bindConstantBufferToStages(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot,
                                       ID3D11Buffer* buffer)
{
    bindToStages<ID3D11Buffer>(context, stages, slot, buffer,
                               {&ID3D11DeviceContext::VSSetConstantBuffers,
                                &ID3D11DeviceContext::PSSetConstantBuffers,
                                &ID3D11DeviceContext::GSSetConstantBuffers,
                                &ID3D11DeviceContext::CSSetConstantBuffers});
}

} // namespace Render
