#include "render/panorenderable.h"

#include "core/backgroundthread.h"
#include "core/log.h"
#include "math/color.h"
#include "render/camera.h"
#include "render/comexception.h"
#include "render/constantbuffer.h"
#include "render/pixelshader.h"
#include "render/samplerstate.h"
#include "render/shaderresourceview.h"
#include "render/texture2d.h"
#include "render/vertexshader.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cstring>
#include <array>
#include <chrono>
#include <exception>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

namespace Render {
namespace {

using TileId = Graphics::PanoramaLoader::TileId;

constexpr unsigned int kConstantsSlot = 0;
constexpr unsigned int kSamplerSlot = 0;
constexpr unsigned int kFullScreenQuadVertices = 4;
// Placeholder levels are gray, lighter with every level.
constexpr std::uint8_t kPlaceholderGrayStep = 30;
// Distance of texels without depth: beyond any far plane, so the shader puts them at the far end.
constexpr float kNoDepth = std::numeric_limits<float>::max();
constexpr auto kWaitPollInterval = std::chrono::milliseconds(100);

enum class TileKind : std::uint32_t { Color = 0, Depth = 1 };

// One tile still to load, as the loading thread orders them.
struct TileEntry {
    TileId id = 0;
    std::uint64_t level = 0;
    Eigen::Vector3f direction;
    TileKind kind = TileKind::Color;
};

D3D11_TEXTURE2D_DESC levelTextureDesc(DXGI_FORMAT format)
{
    D3D11_TEXTURE2D_DESC desc{};
    desc.MipLevels = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    return desc;
}

D3D11_TEXTURE2D_DESC stagingDesc(DXGI_FORMAT format, std::size_t width, std::size_t height)
{
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = static_cast<UINT>(width);
    desc.Height = static_cast<UINT>(height);
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_STAGING;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    return desc;
}

D3D11_SAMPLER_DESC panoramaSamplerDesc()
{
    D3D11_SAMPLER_DESC desc{};
    desc.Filter = D3D11_FILTER_MIN_MAG_MIP_POINT;
    desc.AddressU = desc.AddressV = desc.AddressW = D3D11_TEXTURE_ADDRESS_WRAP;
    desc.MipLODBias = 0.0f;
    desc.MaxAnisotropy = 0;
    desc.ComparisonFunc = D3D11_COMPARISON_NEVER;
    desc.MinLOD = desc.MaxLOD = 0.0f;
    return desc;
}

// An explicit array view: the default view of a texture with a single slice is a plain 2D view,
// which the shader's Texture2DArray cannot read.
ShaderResourceView arrayView(ID3D11Device* device, Texture2d const& texture)
{
    D3D11_SHADER_RESOURCE_VIEW_DESC desc{};
    desc.Format = texture.desc().Format;
    desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2DARRAY;
    desc.Texture2DArray.MostDetailedMip = 0;
    desc.Texture2DArray.MipLevels = 1;
    desc.Texture2DArray.FirstArraySlice = 0;
    desc.Texture2DArray.ArraySize = texture.desc().ArraySize;
    return ShaderResourceView(device, texture.get(), &desc);
}

std::size_t facesOf(Graphics::PanoramaLoader const& loader)
{
    return loader.projectionType() == cbConstant::kProjectionEquirectangular ? 1 : Graphics::PanoramaLoader::kCubeFaces;
}

void checkDrawable(Graphics::PanoramaLoader const& loader)
{
    std::size_t const tiles = loader.numTilesPerLevel();
    if (tiles > PanoRenderable::kMaxTilesPerLevel)
        throw std::invalid_argument(fmt::format("Error: panorama \"{}\" has {} tiles per level, at most {} can be drawn",
                                                loader.source(), tiles, PanoRenderable::kMaxTilesPerLevel));
    if (tiles < facesOf(loader) * loader.tileRows() * loader.tileColumns())
        throw std::invalid_argument(fmt::format("Error: panorama \"{}\" has {} tiles per level, fewer than its grid",
                                                loader.source(), tiles));
    if (loader.numColorLevels() > PanoRenderable::kLevelCount || loader.numDepthLevels() > PanoRenderable::kLevelCount)
        throw std::invalid_argument(fmt::format("Error: panorama \"{}\" has {} color and {} depth levels, at most {} of "
                                                "each can be drawn",
                                                loader.source(), loader.numColorLevels(), loader.numDepthLevels(),
                                                PanoRenderable::kLevelCount));
    for (std::size_t level = 0; level < std::max(loader.numColorLevels(), loader.numDepthLevels()); ++level) {
        if (loader.tileWidth(level) > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION ||
            loader.tileHeight(level) > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION)
            throw std::invalid_argument(fmt::format("Error: the tiles of level {} of panorama \"{}\" are larger than a "
                                                    "texture",
                                                    level, loader.source()));
    }
}

// Chooses the lowest level; then the tile closest to the viewing direction; then color before depth;
// remaining ties keep list order.
std::vector<TileEntry>::iterator nextTile(std::vector<TileEntry>& tiles, Eigen::Vector3f const& viewDirection)
{
    auto best = tiles.begin();
    float bestDot = best->direction.dot(viewDirection);
    for (auto entry = std::next(tiles.begin()); entry != tiles.end(); ++entry) {
        float const dot = entry->direction.dot(viewDirection);
        bool better = false;
        if (entry->level != best->level)
            better = entry->level < best->level;
        else if (dot != bestDot)
            better = dot > bestDot;
        else
            better = entry->kind == TileKind::Color && best->kind == TileKind::Depth;
        if (better) {
            best = entry;
            bestDot = dot;
        }
    }
    return best;
}

char const* kindName(TileKind kind)
{
    return kind == TileKind::Color ? "color" : "depth";
}

// A loaded tile fills its level's tile size: a smaller one is placed at the top left of a cleared tile,
// so that no pixels of an earlier tile show through; a larger one cannot be uploaded.
template <class Image>
Image fittedToTile(Graphics::PanoramaLoader const& loader, TileId id, TileKind kind, Image image)
{
    std::size_t const level = loader.level(id);
    std::size_t const width = loader.tileWidth(level);
    std::size_t const height = loader.tileHeight(level);
    if (image.width > width || image.height > height)
        throw std::runtime_error(kind == TileKind::Color ? "Color tile does not fit into texture."
                                                          : "Depth tile does not fit into texture.");
    if (image.width == width && image.height == height)
        return image;
    Image fitted(width, height);
    for (std::size_t y = 0; y < image.height; ++y)
        std::memcpy(fitted.data() + y * fitted.stride, image.data() + y * image.stride,
                    image.width * Image::kBytesPerPixel);
    return fitted;
}

std::string tileName(Graphics::PanoramaLoader const& loader, TileId id, TileKind kind)
{
    return fmt::format("{} tile {} of level {} of panorama \"{}\"", kindName(kind), loader.tileIndexWithinLevel(id),
                       loader.level(id), loader.source());
}

} // namespace

struct PanoRenderable::GpuResources {
    ATL::CComPtr<ID3D11Device> device;
    ATL::CComPtr<ID3D11DeviceContext> context;
    std::array<Texture2d, kLevelCount> colorLevels;
    std::array<Texture2d, kLevelCount> depthLevels;
    // One per level the panorama has.
    std::vector<Texture2d> colorStaging;
    std::vector<Texture2d> depthStaging;
    // Color levels then depth levels, in the order of the shader's texture slots.
    std::array<ShaderResourceView, 2 * kLevelCount> views;
    SamplerState sampler;
    VertexShader vertexShader;
    PixelShader pixelShader;
    ConstantBuffer<cbConstant> constants;
};

std::shared_ptr<PanoRenderable> PanoRenderable::create(std::shared_ptr<Graphics::PanoramaLoader> loader,
                                                       std::string const& name)
{
    if (loader)
        checkDrawable(*loader);
    return std::make_shared<PanoRenderable>(Private{}, std::move(loader), name);
}

PanoRenderable::PanoRenderable(Private, std::shared_ptr<Graphics::PanoramaLoader> loader, std::string const& name)
    : Renderable(name), mLoader(std::move(loader))
{
}

PanoRenderable::~PanoRenderable()
{
    mLoadingThread.reset();
    mGpu.reset();
}

void PanoRenderable::init(std::size_t, std::shared_ptr<Camera> camera, ATL::CComPtr<ID3D11Device> device,
                          ATL::CComPtr<ID3D11DeviceContext> context)
{
    if (mGpu)
        throw std::runtime_error("Error init was called on an already initialized PanoRenderable");
    if (mLoader) {
        auto gpu = std::make_unique<GpuResources>();
        std::size_t const tiles = mLoader->numTilesPerLevel();
        auto const arraySize = static_cast<unsigned int>(tiles);
        for (std::size_t level = 0; level < kLevelCount; ++level) {
            bool const realColor = level < mLoader->numColorLevels();
            bool const realDepth = level < mLoader->numDepthLevels();
            Math::Color const gray = Math::Color::gray(static_cast<std::uint8_t>(level * kPlaceholderGrayStep), 255);
            gpu->colorLevels[level] = Texture2d(
                device, levelTextureDesc(DXGI_FORMAT_B8G8R8A8_UNORM),
                realColor ? static_cast<unsigned int>(mLoader->tileWidth(level)) : kPlaceholderSide,
                realColor ? static_cast<unsigned int>(mLoader->tileHeight(level)) : kPlaceholderSide, gray, arraySize);
            gpu->depthLevels[level] = Texture2d(
                device, levelTextureDesc(DXGI_FORMAT_R32_FLOAT),
                realDepth ? static_cast<unsigned int>(mLoader->tileWidth(level)) : kPlaceholderSide,
                realDepth ? static_cast<unsigned int>(mLoader->tileHeight(level)) : kPlaceholderSide, kNoDepth,
                arraySize);
            if (realColor)
                gpu->colorStaging.emplace_back(device, stagingDesc(DXGI_FORMAT_B8G8R8A8_UNORM, mLoader->tileWidth(level),
                                                                   mLoader->tileHeight(level)));
            if (realDepth)
                gpu->depthStaging.emplace_back(device, stagingDesc(DXGI_FORMAT_R32_FLOAT, mLoader->tileWidth(level),
                                                                   mLoader->tileHeight(level)));
            gpu->views[level] = arrayView(device, gpu->colorLevels[level]);
            gpu->views[kLevelCount + level] = arrayView(device, gpu->depthLevels[level]);
        }
        gpu->sampler = SamplerState(device, panoramaSamplerDesc());
        gpu->vertexShader = VertexShader::fromHlslResource(device, kShaderName, {});
        gpu->pixelShader = PixelShader::fromHlslResource(device, kShaderName);
        gpu->constants = ConstantBuffer<cbConstant>(device, mConstants);
        gpu->device = std::move(device);
        gpu->context = std::move(context);
        mGpu = std::move(gpu);

        mConstants.projectionType = mLoader->projectionType();
        mConstants.tileRows = static_cast<std::uint32_t>(mLoader->tileRows());
        mConstants.tileColumns = static_cast<std::uint32_t>(mLoader->tileColumns());
        mConstants.colorLevels = static_cast<std::uint32_t>(mLoader->numColorLevels());
        mConstants.depthLevels = static_cast<std::uint32_t>(mLoader->numDepthLevels());
        // Fresh textures hold no tile yet, whatever an earlier initialisation had loaded.
        mConstants.maxColorLevelPerTile = {};
        mConstants.maxDepthLevelPerTile = {};
        mConstantsDirty = true;
    }
    mCamera = std::move(camera);
    updateModelConstants();
    updateCameraConstants();
    updateObjectViewDirection();
    // The textures of an earlier init went with its deinit, and the tiles in them.
    if (mAsyncLoadingRequested && !mLoadingThread->isBusy())
        mLoadingThread->restart();
}

void PanoRenderable::deinit()
{
    if (mLoadingThread)
        mLoadingThread->stop();
    mGpu.reset();
    mCamera.reset();
}

void PanoRenderable::updateCameraConstants()
{
    if (!mCamera)
        return;
    Eigen::Matrix4f const model = worldMatrix();
    mConstants.viewProjection = toShaderMatrix(mCamera->viewProjectionMatrix());
    mConstants.inverseModelViewProjection = toShaderMatrix(Eigen::Matrix4f(mCamera->viewProjectionMatrix() * model).inverse());
    mConstants.inverseModelView = toShaderMatrix(Eigen::Matrix4f(mCamera->viewMatrix() * model).inverse());
    mConstants.zNear = mCamera->zNear();
    mConstants.zFar = mCamera->zFar();
    mConstantsDirty = true;
}

void PanoRenderable::updateModelConstants()
{
    Eigen::Matrix4f const model = worldMatrix();
    mConstants.model = toShaderMatrix(model);
    mConstants.scale = model.col(0).head<3>().norm();
    // Both inverses contain the model; the view direction the shader derives from the second would
    // otherwise lag behind a moved panorama.
    updateCameraConstants();
    mConstantsDirty = true;
}

void PanoRenderable::updateObjectViewDirection()
{
    if (mCamera)
        mWorldViewDirection = mCamera->viewDirection();
    Eigen::Matrix3f const inverseWorld = worldMatrix().inverse().topLeftCorner<3, 3>();
    Eigen::Vector3f direction = inverseWorld.inverse().transpose() * mWorldViewDirection;
    std::scoped_lock const lock(mViewDirectionMutex);
    if (direction.norm() > 0.0f)
        mObjectViewDirection = direction.normalized();
}

Eigen::Vector3f PanoRenderable::objectViewDirection() const
{
    std::scoped_lock const lock(mViewDirectionMutex);
    return mObjectViewDirection;
}

void PanoRenderable::onUpdateProjectionMatrix(std::shared_ptr<Camera> const& camera)
{
    mCamera = camera;
    updateCameraConstants();
}

void PanoRenderable::onUpdateViewMatrix(std::shared_ptr<Camera> const& camera)
{
    mCamera = camera;
    updateCameraConstants();
    updateObjectViewDirection();
}

void PanoRenderable::onUpdateZRange(std::shared_ptr<Camera> const& camera)
{
    mCamera = camera;
    updateCameraConstants();
}

void PanoRenderable::onUpdateViewport(std::shared_ptr<Camera> const& camera)
{
    mCamera = camera;
    updateCameraConstants();
}

void PanoRenderable::setMatrix(Eigen::Matrix4f const& matrix)
{
    Renderable::setMatrix(matrix);
    updateObjectViewDirection();
}

void PanoRenderable::invalidateWorldMatrix()
{
    Renderable::invalidateWorldMatrix();
    updateModelConstants();
}

Math::NBoundingBox<float, 3> PanoRenderable::boundingBox() const
{
    constexpr float kHalfExtent = 100.0f;
    return Math::NBoundingBox<float, 3>(Math::Point<float, 3>(-kHalfExtent, -kHalfExtent, -kHalfExtent),
                                        Math::Point<float, 3>(kHalfExtent, kHalfExtent, kHalfExtent));
}

void PanoRenderable::startAsyncPanoramaTilesLoading(Callback callback)
{
    {
        std::scoped_lock const lock(mCallbackMutex);
        mCallback = std::move(callback);
    }
    mAsyncLoadingRequested = true;
    if (!mLoadingThread) {
        mLoadingThread = std::make_unique<Core::BackgroundThread>([this](std::stop_token stop) {
            Callback run;
            {
                std::scoped_lock const lock(mCallbackMutex);
                run = mCallback;
            }
            loadPanoramaTiles(stop, run);
        });
    }
    mLoadingThread->restart();
}

void PanoRenderable::stopAsyncPanoramaTilesLoading()
{
    mAsyncLoadingRequested = false;
    if (mLoadingThread)
        mLoadingThread->stop();
}

Core::JobState PanoRenderable::loadPanoramaTiles()
{
    return loadPanoramaTiles(std::stop_token(), Callback());
}

void PanoRenderable::endLoading(Core::JobState state, std::string error)
{
    {
        std::scoped_lock const lock(mPendingTilesMutex);
        mLoadingError = std::move(error);
    }
    mJobState = state;
}

Core::JobState PanoRenderable::loadPanoramaTiles(std::stop_token stop, Callback const& callback)
{
    if (mLoadingInProgress.exchange(true))
        throw std::logic_error("Error: the tiles of this panorama are already loading");
    struct LoadingEnd {
        std::atomic<bool>& inProgress;
        ~LoadingEnd() { inProgress = false; }
    } const loadingEnd{mLoadingInProgress};
    if (!mLoader) {
        endLoading(Core::JobState::Failed, "no panorama loader");
        return Core::JobState::Failed;
    }
    mJobState = Core::JobState::Running;
    try {
        std::vector<TileEntry> tiles;
        auto const addTiles = [&](std::vector<TileId> const& ids, TileKind kind, std::size_t levels) {
            for (TileId const id : ids) {
                if (mLoader->level(id) >= levels || mLoader->tileIndexWithinLevel(id) >= mLoader->numTilesPerLevel())
                    throw std::runtime_error(fmt::format("panorama \"{}\" lists {} tile {:#x} outside its levels",
                                                         mLoader->source(), kindName(kind), id));
                tiles.push_back(TileEntry{id, mLoader->level(id), mLoader->tileDirection(id), kind});
            }
        };
        addTiles(mLoader->colorTiles(), TileKind::Color, mLoader->numColorLevels());
        addTiles(mLoader->depthTiles(), TileKind::Depth, mLoader->numDepthLevels());

        auto const loadTile = [&](TileEntry const& tile) {
            if (tile.kind == TileKind::Color) {
                Graphics::ColorImage image = fittedToTile(*mLoader, tile.id, tile.kind, mLoader->loadColorTile(tile.id));
                std::scoped_lock const lock(mPendingTilesMutex);
                mPendingColorTiles.emplace_back(tile.id, std::move(image));
            } else {
                Graphics::DepthImage image = fittedToTile(*mLoader, tile.id, tile.kind, mLoader->loadDepthTile(tile.id));
                std::scoped_lock const lock(mPendingTilesMutex);
                mPendingDepthTiles.emplace_back(tile.id, std::move(image));
            }
        };
        // One unreadable tile leaves a hole; the others still load, and the job reports every bad one.
        std::vector<std::string> tileErrors;
        while (!tiles.empty()) {
            auto const next = nextTile(tiles, objectViewDirection());
            TileEntry const tile = *next;
            tiles.erase(next);
            bool loaded = true;
            try {
                loadTile(tile);
            } catch (std::exception const& error) {
                loaded = false;
                tileErrors.push_back(fmt::format("{}: {}", tileName(*mLoader, tile.id, tile.kind), error.what()));
                Core::Log::error(tileErrors.back());
            }
            if (loaded) {
                setNeedsRedraw(true);
                if (callback)
                    callback();
            }
            if (stop.stop_requested())
                break;
        }
        if (!tileErrors.empty() && !stop.stop_requested()) {
            endLoading(Core::JobState::Failed, fmt::format("{}", fmt::join(tileErrors, "; ")));
            return Core::JobState::Failed;
        }
    } catch (std::exception const& error) {
        Core::Log::error(fmt::format("loading panorama \"{}\" failed: {}", name(), error.what()));
        endLoading(Core::JobState::Failed, error.what());
        return Core::JobState::Failed;
    } catch (...) {
        Core::Log::error(fmt::format("loading panorama \"{}\" failed", name()));
        endLoading(Core::JobState::Failed, "unknown error");
        return Core::JobState::Failed;
    }
    Core::JobState const result = stop.stop_requested() ? Core::JobState::Stopped : Core::JobState::Finished;
    endLoading(result, {});
    return result;
}

Core::JobState PanoRenderable::waitForLoadingComplete() const
{
    for (;;) {
        Core::JobState const state = mJobState;
        bool const scheduled = mLoadingThread && mLoadingThread->isBusy();
        if (!scheduled && state != Core::JobState::Running)
            return state;
        std::this_thread::sleep_for(kWaitPollInterval);
    }
}

std::string PanoRenderable::loadingError() const
{
    std::scoped_lock const lock(mPendingTilesMutex);
    return mLoadingError;
}

namespace {

// Copies each tile into its level's array slice and raises the tile's recorded level, emptying
// `tiles`. When a copy fails, the tiles not yet copied stay in `tiles`.
template <class Image>
bool uploadTiles(ID3D11DeviceContext* context, Graphics::PanoramaLoader const& loader,
                 std::vector<std::pair<TileId, Image>>& tiles, std::vector<Texture2d> const& staging,
                 std::array<Texture2d, PanoRenderable::kLevelCount> const& levels,
                 std::array<ShaderArrayUint, cbConstant::kMaxTilesPerLevel>& maxLevelPerTile)
{
    bool raised = false;
    auto tile = tiles.begin();
    try {
        for (; tile != tiles.end(); ++tile) {
            std::size_t const level = loader.level(tile->first);
            std::size_t const index = loader.tileIndexWithinLevel(tile->first);
            staging[level].drawImageTile(context, tile->second, D3D11_MAP_WRITE);
            levels[level].copySubRegion(context, staging[level], 0, 0, 0,
                                        D3D11CalcSubresource(0, static_cast<UINT>(index), 1), 0);
            if (maxLevelPerTile[index].value < level) {
                maxLevelPerTile[index].value = static_cast<std::uint32_t>(level);
                raised = true;
            }
        }
    } catch (...) {
        tiles.erase(tiles.begin(), tile);
        throw;
    }
    tiles.clear();
    return raised;
}

} // namespace

void PanoRenderable::updatePanoramaTextures()
{
    PendingTiles<Graphics::ColorImage> colorTiles;
    PendingTiles<Graphics::DepthImage> depthTiles;
    {
        std::scoped_lock const lock(mPendingTilesMutex);
        colorTiles.swap(mPendingColorTiles);
        depthTiles.swap(mPendingDepthTiles);
    }
    try {
        if (uploadTiles(mGpu->context, *mLoader, colorTiles, mGpu->colorStaging, mGpu->colorLevels,
                        mConstants.maxColorLevelPerTile))
            mConstantsDirty = true;
        if (uploadTiles(mGpu->context, *mLoader, depthTiles, mGpu->depthStaging, mGpu->depthLevels,
                        mConstants.maxDepthLevelPerTile))
            mConstantsDirty = true;
    } catch (...) {
        // Nothing is lost: the tiles go back in front of those loaded meanwhile and are uploaded again.
        std::scoped_lock const lock(mPendingTilesMutex);
        mPendingColorTiles.insert(mPendingColorTiles.begin(), std::make_move_iterator(colorTiles.begin()),
                                  std::make_move_iterator(colorTiles.end()));
        mPendingDepthTiles.insert(mPendingDepthTiles.begin(), std::make_move_iterator(depthTiles.begin()),
                                  std::make_move_iterator(depthTiles.end()));
        throw;
    }
}

void PanoRenderable::render()
{
    if (!mLoader || !mGpu)
        return;
    // Cleared before the pending tiles are taken: a tile the loader adds meanwhile raises it again.
    setNeedsRedraw(false);
    updatePanoramaTextures();
    draw();
}

void PanoRenderable::draw()
{
    ID3D11DeviceContext* context = mGpu->context;
    if (mConstantsDirty) {
        mGpu->constants.modify() = mConstants;
        mConstantsDirty = false;
    }
    mGpu->vertexShader.begin(context);
    mGpu->pixelShader.begin(context);
    mGpu->constants.begin(context, ShaderConfiguration::Vertex | ShaderConfiguration::Pixel, kConstantsSlot);
    for (unsigned int slot = 0; slot < mGpu->views.size(); ++slot)
        mGpu->views[slot].begin(context, ShaderConfiguration::Pixel, slot);
    mGpu->sampler.begin(context, ShaderConfiguration::Pixel, kSamplerSlot);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    context->DrawInstanced(kFullScreenQuadVertices, 1, 0, 0);
    mGpu->sampler.end(context);
    for (ShaderResourceView& view : mGpu->views)
        view.end(context);
    mGpu->constants.end(context);
    mGpu->pixelShader.end(context);
    mGpu->vertexShader.end(context);
}

} // namespace Render
