#include "hostsupport.h"

#include "octree/entwinelocation.h"
#include "octree/potreelocation.h"
#include "render/comexception.h"
#include "render/renderer.h"

#include <dxgi.h>

#include <fmt/format.h>

#include <stdexcept>

namespace Tools {

std::string adapterName(Render::Renderer const& renderer)
{
    ATL::CComPtr<IDXGIDevice> dxgiDevice;
    Render::throwIfFailed(renderer.device().QueryInterface(&dxgiDevice));
    ATL::CComPtr<IDXGIAdapter> adapter;
    Render::throwIfFailed(dxgiDevice->GetAdapter(&adapter));
    DXGI_ADAPTER_DESC desc{};
    Render::throwIfFailed(adapter->GetDesc(&desc));
    std::string name;
    for (wchar_t const* c = desc.Description; *c; ++c)
        name += *c < 0x80 ? static_cast<char>(*c) : '?';
    return name;
}

std::string featureLevelName(Render::Renderer const& renderer)
{
    auto const level = static_cast<unsigned>(renderer.device()->GetFeatureLevel());
    return fmt::format("{}_{}", level >> 12, (level >> 8) & 0xf);
}

std::shared_ptr<Octree::Location> openDataSet(std::filesystem::path const& folder)
{
    if (std::filesystem::exists(folder / "ept.json"))
        return std::make_shared<Entwine::FileSystemLocation>(folder);
    auto location = std::make_shared<PoTree::FileSystemLocation>(folder);
    if (!location->exists())
        throw std::runtime_error("'" + folder.string() + "' is neither a Potree 2.0 nor an Entwine data set");
    return location;
}

} // namespace Tools
