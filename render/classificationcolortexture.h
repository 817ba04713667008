#pragma once

#include "render/export.h"
#include "render/shaderconfiguration.h"
#include "render/shaderresourceview.h"
#include "render/texture1d.h"

#include "math/classificationinfo.h"

#include <d3d11.h>

namespace Render {

// The classification table on the GPU: 256 RGBA texels, texel i the color of class i with alpha 0
// for a hidden class. Uploaded lazily, at the first binding after a change.
class MORVID_RENDER_API ClassificationColorTexture {
public:
    static constexpr unsigned int kClassCount = 256;

    explicit ClassificationColorTexture(ID3D11Device* device);
    ClassificationColorTexture(ClassificationColorTexture&&) noexcept = default;
    ClassificationColorTexture& operator=(ClassificationColorTexture&&) noexcept = default;

    // An equal table changes nothing; a different one is uploaded at the next binding.
    void setClassificationInfo(Math::ClassificationInfo const& info);
    Math::ClassificationInfo const& classificationInfo() const { return mClassificationInfo; }
    void setModified(bool modified) { mModified = modified; }
    bool isModified() const { return mModified; }

    // Uploads a changed table, then binds the view; "Error: end call is missing" while bound.
    void begin(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot);
    // "Error: begin call is missing" when not bound.
    void end(ID3D11DeviceContext* context);

    // Writes the table into the texture if it changed since the last upload.
    void update(ID3D11DeviceContext* context);

    ID3D11Texture1D* texture() const { return mTexture.get(); }
    ID3D11ShaderResourceView* view() const { return mView.get(); }

private:
    Texture1d mTexture;
    ShaderResourceView mView;
    Math::ClassificationInfo mClassificationInfo;
    bool mModified = true;
};

} // namespace Render
