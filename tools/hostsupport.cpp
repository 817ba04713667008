#include "hostsupport.h"
#include "options.h"

#include "octree/entwinehttplocation.h"
#include "octree/octree.h"
#include "octree/potreehttplocation.h"
#include "render/comexception.h"
#include "render/dataset.h"
#include "render/renderer.h"

#include <dxgi.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace Tools {
namespace {

std::mutex gHttpClientMutex;
// Never destroyed: at process exit, joining its request threads and closing the WinHTTP session
// from a static destructor can wait forever. main shuts it down before it returns instead.
std::shared_ptr<Core::HttpClient>* gHttpClient = nullptr;

// One client for the process, so that every data set shares its connections and its bound on
// requests in flight.
std::shared_ptr<Core::HttpClient> httpClient()
{
    std::lock_guard const lock(gHttpClientMutex);
    if (!gHttpClient) {
        Core::HttpClientOptions const options;
        gHttpClient = new std::shared_ptr<Core::HttpClient>(
            std::make_shared<Core::HttpClient>(Core::createSystemHttpTransport(options.requestTimeout), options));
    }
    return *gHttpClient;
}

// Tries an Entwine description first, as for folders; a Potree data set costs one request more.
std::shared_ptr<Octree::Location> openUrl(std::string const& url)
{
    auto const client = httpClient();
    auto entwine = std::make_shared<Entwine::HttpLocation>(url, client);
    if (entwine->exists())
        return entwine;
    auto potree = std::make_shared<PoTree::HttpLocation>(url, client);
    try {
        potree->metadata();
    } catch (std::runtime_error const& error) {
        throw std::runtime_error("'" + url + "' is neither a Potree 2.0 nor an Entwine data set (" + error.what() + ")");
    }
    return potree;
}

} // namespace

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

Graphics::LasFrame dataSetFrame(Octree::Octree const& octree)
{
    if (PoTree::Hierarchy const* potree = octree.potreeTree()) {
        PoTree::Metadata const& metadata = potree->metadata();
        return {metadata.scale, metadata.offset, metadata.projection};
    }
    Entwine::Description const& description = octree.entwineTree()->description();
    Graphics::LasFrame frame{{}, {}, description.srs};
    for (int axis = 0; axis < 3; ++axis) {
        Entwine::Dimension const* dimension = description.find(std::string(1, static_cast<char>('X' + axis)));
        frame.scale[axis] = dimension->scale;
        frame.offset[axis] = dimension->offset;
    }
    return frame;
}

std::string lowerCaseExtension(std::filesystem::path const& path)
{
    std::string extension = path.extension().string();
    std::ranges::transform(extension, extension.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

std::shared_ptr<Octree::Location> openDataSet(std::string const& source)
{
    if (Core::isHttpUrl(source))
        return openUrl(source);
    std::filesystem::path const folder(source);
    std::error_code error;
    std::string const extension = lowerCaseExtension(folder);
    if ((extension == ".las" || extension == ".laz") && std::filesystem::is_regular_file(folder, error)) {
        std::string const name = folder.generic_string();
        throw std::runtime_error("'" + name + "' is a LAS file, not a data set: run 'morvid convert " + name +
                                 " <folder>' first");
    }
    return Render::openDataSet(folder);
}

std::string sourceName(std::string const& source)
{
    return Core::isHttpUrl(source) ? source : std::filesystem::path(source).generic_string();
}

std::string dataSetName(std::string const& source)
{
    std::string const trimmed = Core::withoutTrailingSlashes(sourceName(source));
    return trimmed.substr(trimmed.find_last_of('/') + 1);
}

Core::HttpStatistics httpStatistics()
{
    std::lock_guard const lock(gHttpClientMutex);
    return gHttpClient ? (*gHttpClient)->statistics() : Core::HttpStatistics{};
}

void shutDownHttpClient()
{
    std::lock_guard const lock(gHttpClientMutex);
    if (gHttpClient)
        (*gHttpClient)->shutDown();
}

void checkOutputFile(std::filesystem::path const& path, std::vector<std::string_view> const& extensions)
{
    std::string const name = path.generic_string();
    std::string const extension = lowerCaseExtension(path);
    if (std::ranges::find(extensions, extension) == extensions.end())
        throw UsageError("cannot write '" + name + "': the name must end in " + joined(extensions));
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        throw std::runtime_error("cannot write '" + name + "': it is a folder");
    std::filesystem::path const parent = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    if (!std::filesystem::is_directory(parent, error))
        throw std::runtime_error("cannot write '" + name + "': the folder '" + parent.generic_string() +
                                 "' does not exist");
    bool const existed = std::filesystem::exists(path, error);
    // Appending nothing opens the file for writing without touching what it holds.
    std::ofstream probe(path, std::ios::binary | std::ios::app);
    if (!probe)
        throw std::runtime_error("cannot write '" + name + "': " + std::generic_category().message(errno));
    probe.close();
    if (!existed)
        std::filesystem::remove(path, error);
}

void checkOutputFolder(std::filesystem::path const& folder)
{
    std::string const name = folder.generic_string();
    std::error_code error;
    if (std::filesystem::exists(folder, error) && !std::filesystem::is_directory(folder, error))
        throw std::runtime_error("cannot write into '" + name + "': it is a file");
    // The folder, or the nearest one above it that exists: the writer creates the rest. Nothing
    // is created here, so that a command failing later leaves no empty folder behind.
    std::filesystem::path existing = std::filesystem::absolute(folder, error);
    while (!std::filesystem::exists(existing, error) && existing.has_relative_path())
        existing = existing.parent_path();
    if (!std::filesystem::is_directory(existing, error))
        throw std::runtime_error("cannot create the folder '" + name + "': '" + existing.generic_string() +
                                 "' is not a folder");
    std::filesystem::path const probe = existing / ".morvid-write-check";
    std::ofstream file(probe, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot write into '" + name + "': " + std::generic_category().message(errno));
    file.close();
    std::filesystem::remove(probe, error);
}

} // namespace Tools
