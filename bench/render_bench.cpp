// The Direct3D side of the library against what the machine allows, each in the same run:
//   stream   <data set>...  streaming to a settled buffer against decoding the same nodes
//   budgets  <town-10m>  time to first frame, to settled and peak memory per budget
//   growth   <town-10m> <town-50m>  the cost of the same view in a 5 times larger scene
//   draw     <town-10m>  frame time of the library against a bare draw of the same points over the
//            same pixels, with eye-dome lighting against without, what cutting the points' discs
//            costs the bare draw, and the library against a bare draw submitted as it draws
//   readback <town-10m>  readback and picking against a plain staging copy of the same texture
//   shaders  the compile time of every embedded shader
// Data set folders are Windows paths (Z:/...). Results go to standard output as one JSON object.

#include "benchsupport.h"
#include "streamingview.h"

#include "graphics/colorimage.h"
#include "octree/nodevertexloader.h"
#include "octree/potreelocation.h"
#include "render/camera.h"
#include "render/comexception.h"
#include "render/grouprenderable.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"
#include "render/shader.h"
#include "render/shaderconstants.h"

#include <windows.h>
#include <psapi.h>

#include <d3dcompiler.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Bench::kHeight;
using Bench::kMegabyte;
using Bench::kWidth;
using Bench::lookingDown;
using Bench::Results;
using Bench::Settled;
using Bench::View;
using Bench::waitForGpu;

constexpr std::size_t kMillion = 1'000'000;

std::string millions(std::size_t points)
{
    return std::to_string(points / kMillion) + "m";
}

// --- streaming -----------------------------------------------------------------------------

constexpr std::size_t kStreamCompareBudget = 10 * kMillion;
constexpr std::array<std::size_t, 3> kReportedBudgets{1 * kMillion, 5 * kMillion, 10 * kMillion};
constexpr std::size_t kGrowthBudget = 3 * kMillion;
constexpr int kGrowthRepetitions = 3;
// The view of the growth comparison: straight down onto the middle block of the first row, which
// both towns have, from a height that shows about one block.
constexpr float kGrowthViewX = 300.0f;
constexpr float kGrowthViewY = 60.0f;
constexpr float kGrowthViewHeight = 100.0f;

// Points per second of streaming over decoding the same nodes, both from a cold start of their own.
void streamAgainstDecode(Results& results, std::filesystem::path const& folder, double& streamSeconds,
                         double& decodeSeconds)
{
    std::string const name = folder.filename().string();
    View view(folder, kStreamCompareBudget);
    Settled const settled = view.settle(false);
    std::size_t decoded = 0;
    double const decodeTime = Bench::secondsOf([&] { decoded = view.decodeLoadedNodes(); });
    Bench::requireSameWork(decoded == settled.points, name + ": " + std::to_string(settled.points) + " points streamed, " +
                                                          std::to_string(decoded) + " decoded");
    results.add("stream_vs_decode/" + name, decodeTime / settled.secondsToSettled, "x", "",
                std::to_string(settled.points) + " points");
    streamSeconds += settled.secondsToSettled;
    decodeSeconds += decodeTime;
}

void streamingAgainstDecoding(Results& results, std::vector<std::filesystem::path> const& folders)
{
    Bench::progress("streaming against decoding");
    double streamSeconds = 0.0;
    double decodeSeconds = 0.0;
    for (auto const& folder : folders)
        streamAgainstDecode(results, folder, streamSeconds, decodeSeconds);
    results.add("stream_vs_decode", decodeSeconds / streamSeconds, "x", ">= 0.5",
                "streaming throughput over decode-only throughput of the same nodes");
}

void streamingBudgets(Results& results, std::filesystem::path const& town10)
{
    for (std::size_t const budget : kReportedBudgets) {
        Bench::progress("streaming town-10m at a budget of " + millions(budget));
        View view(town10, budget);
        Settled const settled = view.settle(true);
        std::string const suffix = "/budget_" + millions(budget);
        results.add("seconds_to_first_frame" + suffix, settled.secondsToFirstFrame, "s");
        results.add("seconds_to_settled" + suffix, settled.secondsToSettled, "s", "",
                    std::to_string(settled.points) + " points");
        results.add("peak_memory" + suffix, settled.peakBytes / kMegabyte, "MB");
    }
}

void streamingGrowth(Results& results, std::filesystem::path const& town10, std::filesystem::path const& town50)
{
    Bench::progress("the same view of town-10m and town-50m");
    std::map<std::string, std::vector<double>> seconds;
    std::map<std::string, std::vector<double>> memory;
    std::map<std::string, std::size_t> points;
    for (int turn = 0; turn < kGrowthRepetitions; ++turn) {
        for (auto const& folder : turn % 2 == 0 ? std::array{town10, town50} : std::array{town50, town10}) {
            View view(folder, kGrowthBudget);
            view.place(lookingDown(kGrowthViewX, kGrowthViewY, kGrowthViewHeight));
            Settled const settled = view.settle(false);
            seconds[folder.string()].push_back(settled.secondsToSettled);
            memory[folder.string()].push_back(settled.peakBytes);
            points[folder.string()] = settled.points;
        }
    }
    std::string const small = town10.string();
    std::string const large = town50.string();
    std::string const shown = std::to_string(points[small]) + " and " + std::to_string(points[large]) + " points shown";
    results.add("settle_growth_50m_vs_10m", Bench::median(seconds[large]) / Bench::median(seconds[small]), "x", "<= 1.3",
                shown);
    results.add("memory_growth_50m_vs_10m", Bench::median(memory[large]) / Bench::median(memory[small]), "x", "<= 1.3",
                shown);
}

// --- drawing -------------------------------------------------------------------------------

constexpr int kFrameRepetitions = 5;
// Every point covers this many pixels across: the library's sizes are clamped to it.
constexpr float kPointFootprint = 3.0f;
constexpr float kUnclampedPointSize = 1.0e6f;
// Covered pixels of the library's frame and of the bare draw may differ by this share, where the
// two compute a square's edge with different rounding.
constexpr double kCoverageTolerance = 1.0e-3;

// The bare draw with the library's footprint: the same square with the same corner arithmetic,
// cut to the same disc ("_disc"), and the plain square for what the cut costs ("_square"), each
// point one instance of a 4-vertex strip. "vs_list" draws the same discs as the library submits
// its points: one triangle list, the triangle around the disc a point, the positions read from the
// buffer.
constexpr char kBareShader[] = R"(
cbuffer Frame : register(b0)
{
    float4x4 modelViewProj;
    float footprint;
    float height;
    float aspect;
};
// The point records as 32-bit words, seven a point, the position first.
Buffer<uint> pointWords : register(t0);
struct VsIn { float3 position : POS; uint vertexId : SV_VertexID; };
struct VsOut { float4 position : SV_POSITION; noperspective float2 corner : CORNER; };
struct PsOut { float4 color : SV_TARGET0; float4 world : SV_TARGET1; float4 exactWorld : SV_TARGET2; };
VsOut expand(float3 position, float2 uv)
{
    float4 clip = mul(modelViewProj, float4(position, 1.0));
    float halfExtent = footprint * clip.w / height;
    VsOut output;
    output.position = clip + float4(uv.x * halfExtent / aspect, uv.y * halfExtent, 0.0, 0.0);
    output.corner = uv;
    return output;
}
VsOut vs_disc(VsIn input)
{
    uint corner = input.vertexId;
    return expand(input.position, float2(-1.0 + 2.0 * ((corner >> 1) & 1), -1.0 + 2.0 * (corner & 1)));
}
float4 vs_square(VsIn input) : SV_POSITION
{
    return vs_disc(input).position;
}
VsOut vs_list(uint vertexId : SV_VertexID)
{
    uint point = vertexId / 3;
    uint corner = vertexId - 3 * point;
    uint word = 7 * point;
    float3 position = asfloat(uint3(pointWords.Load(word), pointWords.Load(word + 1), pointWords.Load(word + 2)));
    return expand(position, corner == 2 ? float2(0.0, 2.0) : float2(corner == 0 ? -1.7320508 : 1.7320508, -1.0));
}
PsOut constants()
{
    PsOut output;
    output.color = float4(1.0, 0.0, 0.0, 1.0);
    output.world = float4(0.0, 0.0, 0.0, 1.0);
    output.exactWorld = float4(0.0, 0.0, 0.0, 1.0);
    return output;
}
PsOut ps_disc(VsOut input)
{
    if (1.0 - length(input.corner) < 0.0)
        discard;
    return constants();
}
PsOut ps_square()
{
    return constants();
}
)";

enum class Footprint { Disc, Square };
// Instances: one instance of a 4-vertex strip a point, its position read as instance data.
// TriangleList: one triangle a point, as the library draws, with no vertex input.
enum class Submission { Instances, TriangleList };
constexpr UINT kListVerticesPerPoint = 3;
constexpr UINT kWordBytes = 4;

std::string compileBareShader(char const* entryPoint, char const* profile)
{
    ATL::CComPtr<ID3DBlob> code;
    ATL::CComPtr<ID3DBlob> errors;
    HRESULT const result = D3DCompile(kBareShader, sizeof(kBareShader) - 1, "bare", nullptr, nullptr, entryPoint, profile,
                                      D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, &code, &errors);
    if (FAILED(result))
        throw std::runtime_error(std::string("bare shader: ") +
                                 (errors ? static_cast<char const*>(errors->GetBufferPointer()) : "does not compile"));
    return {static_cast<char const*>(code->GetBufferPointer()), code->GetBufferSize()};
}

// The least a point renderer must do with the same points: one draw of the same vertex buffer, a
// vertex shader that only transforms and expands, a pixel shader that writes a constant to the
// same targets, over the same pixels.
class BareDraw {
public:
    BareDraw(Render::Renderer& renderer, std::vector<Render::VertexContainer::Vertex> const& vertices,
             Footprint footprint, Submission submission = Submission::Instances)
        : mDevice(renderer.device()), mContext(renderer.deviceContext()), mPointCount(vertices.size()),
          mSubmission(submission), mReversedDepth(renderer.camera()->isZBufferReversed())
    {
        bool const disc = footprint == Footprint::Disc;
        bool const list = submission == Submission::TriangleList;
        std::string const vertexCode = compileBareShader(list ? "vs_list" : (disc ? "vs_disc" : "vs_square"), "vs_5_0");
        std::string const pixelCode = compileBareShader(disc ? "ps_disc" : "ps_square", "ps_5_0");
        Render::throwIfFailed(mDevice->CreateVertexShader(vertexCode.data(), vertexCode.size(), nullptr, &mVertexShader));
        Render::throwIfFailed(mDevice->CreatePixelShader(pixelCode.data(), pixelCode.size(), nullptr, &mPixelShader));
        D3D11_INPUT_ELEMENT_DESC const position{"POS", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1};
        if (!list)
            Render::throwIfFailed(mDevice->CreateInputLayout(&position, 1, vertexCode.data(), vertexCode.size(), &mLayout));

        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = static_cast<UINT>(vertices.size() * sizeof(vertices[0]));
        desc.Usage = D3D11_USAGE_DYNAMIC;
        desc.BindFlags = list ? D3D11_BIND_SHADER_RESOURCE : D3D11_BIND_VERTEX_BUFFER;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        D3D11_SUBRESOURCE_DATA const data{vertices.data(), 0, 0};
        Render::throwIfFailed(mDevice->CreateBuffer(&desc, &data, &mVertices));
        if (list) {
            D3D11_SHADER_RESOURCE_VIEW_DESC words{};
            words.Format = DXGI_FORMAT_R32_UINT;
            words.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
            words.Buffer.NumElements = desc.ByteWidth / kWordBytes;
            Render::throwIfFailed(mDevice->CreateShaderResourceView(mVertices, &words, &mWords));
        }

        D3D11_BUFFER_DESC constantsDesc{};
        constantsDesc.ByteWidth = sizeof(Constants);
        constantsDesc.Usage = D3D11_USAGE_DEFAULT;
        constantsDesc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
        Render::throwIfFailed(mDevice->CreateBuffer(&constantsDesc, nullptr, &mConstants));
        D3D11_RASTERIZER_DESC rasterizer{};
        rasterizer.FillMode = D3D11_FILL_SOLID;
        rasterizer.CullMode = D3D11_CULL_NONE;
        rasterizer.DepthClipEnable = TRUE;
        Render::throwIfFailed(mDevice->CreateRasterizerState(&rasterizer, &mRasterizer));
        // The renderer's depth convention, so that the same fragments pass the depth test.
        D3D11_DEPTH_STENCIL_DESC depth{};
        depth.DepthEnable = TRUE;
        depth.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ALL;
        depth.DepthFunc = mReversedDepth ? D3D11_COMPARISON_GREATER_EQUAL : D3D11_COMPARISON_LESS;
        Render::throwIfFailed(mDevice->CreateDepthStencilState(&depth, &mDepth));
    }

    std::size_t pointCount() const { return mPointCount; }

    void draw(Render::Renderer& renderer, Eigen::Matrix4f const& modelViewProjection)
    {
        Constants const constants{Render::toShaderMatrix(modelViewProjection), kPointFootprint, float(kHeight),
                                  float(kWidth) / float(kHeight)};
        mContext->UpdateSubresource(mConstants, 0, nullptr, &constants, 0, 0);
        Render::RenderPass const& pass = renderer.scenePass();
        std::vector<ID3D11RenderTargetView*> const& targets = pass.renderTargetViews();
        constexpr std::array<float, 4> kClear{0.0f, 0.0f, 0.0f, 0.0f};
        for (ID3D11RenderTargetView* target : targets)
            mContext->ClearRenderTargetView(target, kClear.data());
        mContext->ClearDepthStencilView(pass.depthStencilView(), D3D11_CLEAR_DEPTH, mReversedDepth ? 0.0f : 1.0f, 0);
        mContext->OMSetRenderTargets(static_cast<UINT>(targets.size()), targets.data(), pass.depthStencilView());
        mContext->OMSetDepthStencilState(mDepth, 0);
        mContext->OMSetBlendState(nullptr, nullptr, 0xffffffff);
        mContext->RSSetState(mRasterizer);
        D3D11_VIEWPORT const viewport{0.0f, 0.0f, float(kWidth), float(kHeight), 0.0f, 1.0f};
        mContext->RSSetViewports(1, &viewport);
        mContext->IASetInputLayout(mLayout);
        mContext->VSSetShader(mVertexShader, nullptr, 0);
        mContext->VSSetConstantBuffers(0, 1, &mConstants.p);
        mContext->PSSetShader(mPixelShader, nullptr, 0);
        if (mSubmission == Submission::TriangleList) {
            mContext->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
            mContext->VSSetShaderResources(0, 1, &mWords.p);
            mContext->Draw(static_cast<UINT>(kListVerticesPerPoint * mPointCount), 0);
            ID3D11ShaderResourceView* const noWords[] = {nullptr};
            mContext->VSSetShaderResources(0, 1, noWords);
        } else {
            mContext->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
            ID3D11Buffer* const buffers[] = {mVertices};
            UINT const stride = sizeof(Render::VertexContainer::Vertex);
            UINT const offset = 0;
            mContext->IASetVertexBuffers(0, 1, buffers, &stride, &offset);
            mContext->DrawInstanced(4, static_cast<UINT>(mPointCount), 0, 0);
        }
        mContext->OMSetRenderTargets(0, nullptr, nullptr);
        waitForGpu(mDevice, mContext);
    }

private:
    struct Constants {
        Render::ShaderFloat4x4 modelViewProjection;
        float footprint;
        float height;
        float aspect;
        float padding;
    };

    ATL::CComPtr<ID3D11Device> mDevice;
    ATL::CComPtr<ID3D11DeviceContext> mContext;
    std::size_t mPointCount;
    Submission mSubmission;
    bool mReversedDepth;
    ATL::CComPtr<ID3D11VertexShader> mVertexShader;
    ATL::CComPtr<ID3D11PixelShader> mPixelShader;
    ATL::CComPtr<ID3D11InputLayout> mLayout;
    ATL::CComPtr<ID3D11Buffer> mVertices;
    ATL::CComPtr<ID3D11ShaderResourceView> mWords;
    ATL::CComPtr<ID3D11Buffer> mConstants;
    ATL::CComPtr<ID3D11RasterizerState> mRasterizer;
    ATL::CComPtr<ID3D11DepthStencilState> mDepth;
};

// Pixels of the scene pass where something was drawn (a world position with w set).
std::size_t coveredPixels(Render::Renderer& renderer)
{
    Render::Texture2d const& positions = renderer.scenePass().texture("exactWorldPosition");
    D3D11_TEXTURE2D_DESC desc = positions.desc();
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ATL::CComPtr<ID3D11Texture2D> staging;
    Render::throwIfFailed(renderer.device()->CreateTexture2D(&desc, nullptr, &staging));
    ID3D11DeviceContext* const context = renderer.deviceContext();
    context->CopyResource(staging, positions.get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    Render::throwIfFailed(context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped));
    std::size_t covered = 0;
    for (UINT row = 0; row < kHeight; ++row) {
        auto const* texels = reinterpret_cast<std::array<float, 4> const*>(static_cast<char const*>(mapped.pData) +
                                                                           std::size_t(row) * mapped.RowPitch);
        covered += std::count_if(texels, texels + kWidth, [](std::array<float, 4> const& texel) { return texel[3] != 0.0f; });
    }
    context->Unmap(staging, 0);
    return covered;
}

// A settled view of `budget` points with its bare twins, for frame-time comparisons.
class DrawScene {
public:
    DrawScene(std::filesystem::path const& folder, std::size_t budget) : mView(folder, budget)
    {
        mView.cloud().setPointSize(kUnclampedPointSize);
        mView.cloud().setMaxPointSize(kPointFootprint);
        mView.settle(false);
        std::vector<Render::VertexContainer::Vertex> vertices;
        mView.decodeLoadedNodes(&vertices);
        Bench::requireSameWork(vertices.size() == mView.cloud().numVisiblePoints(), "points of the bare draw");
        mBare.emplace(mView.renderer(), vertices, Footprint::Disc);
        mSquare.emplace(mView.renderer(), vertices, Footprint::Square);
        mList.emplace(mView.renderer(), vertices, Footprint::Disc, Submission::TriangleList);
        libraryFrame();
        std::size_t const libraryPixels = coveredPixels(mView.renderer());
        requireSameCoverage(libraryPixels, [this] { bareFrame(); }, "the bare draw");
        requireSameCoverage(libraryPixels, [this] { listFrame(); }, "the bare triangle list");
    }

    View& view() { return mView; }
    std::size_t pointCount() const { return mBare->pointCount(); }

    void libraryFrame()
    {
        mView.renderer().render();
        waitForGpu(mView.renderer().device(), mView.renderer().deviceContext());
    }

    void bareFrame() { mBare->draw(mView.renderer(), modelViewProjection()); }
    void squareFrame() { mSquare->draw(mView.renderer(), modelViewProjection()); }
    void listFrame() { mList->draw(mView.renderer(), modelViewProjection()); }

private:
    Eigen::Matrix4f modelViewProjection() { return mView.renderer().viewProjectionMatrix() * mView.cloud().worldMatrix(); }

    void requireSameCoverage(std::size_t libraryPixels, std::function<void()> const& frame, std::string const& what)
    {
        frame();
        std::size_t const pixels = coveredPixels(mView.renderer());
        Bench::requireSameWork(std::abs(double(libraryPixels) - double(pixels)) <= kCoverageTolerance * double(libraryPixels),
                               "pixels covered: " + std::to_string(libraryPixels) + " drawn by the library, " +
                                   std::to_string(pixels) + " by " + what);
    }

    View mView;
    std::optional<BareDraw> mBare;
    std::optional<BareDraw> mSquare;
    std::optional<BareDraw> mList;
};

// One frame-time ratio: `subject` against `baseline` on a scene of `budget` points. Further
// comparisons (a post-process effect against none, say) are one more entry of the table below.
struct DrawComparison {
    std::string key;
    std::size_t budget;
    std::string aim;
    std::function<void(DrawScene&)> subject;
    std::function<void(DrawScene&)> baseline;
};

std::vector<DrawComparison> drawComparisons()
{
    auto const library = [](DrawScene& scene) { scene.libraryFrame(); };
    auto const bare = [](DrawScene& scene) { scene.bareFrame(); };
    auto const square = [](DrawScene& scene) { scene.squareFrame(); };
    auto const list = [](DrawScene& scene) { scene.listFrame(); };
    auto const lit = [](DrawScene& scene) {
        scene.view().renderer().setEyeDomeLighting(true);
        scene.libraryFrame();
    };
    auto const unlit = [](DrawScene& scene) {
        scene.view().renderer().setEyeDomeLighting(false);
        scene.libraryFrame();
    };
    return {
        {"draw_vs_bare_1m", 1 * kMillion, "<= 1.2", library, bare},
        {"edl_vs_none_1m", 1 * kMillion, "<= 1.15", lit, unlit},
        {"bare_disc_vs_square_1m", 1 * kMillion, "", bare, square},
        {"draw_vs_bare_list_1m", 1 * kMillion, "", library, list},
        {"draw_vs_bare_5m", 5 * kMillion, "<= 1.2", library, bare},
    };
}

void drawing(Results& results, std::filesystem::path const& town10)
{
    // Comparisons of one budget follow each other and share their scene.
    std::unique_ptr<DrawScene> scene;
    std::size_t sceneBudget = 0;
    for (DrawComparison const& comparison : drawComparisons()) {
        if (!scene || sceneBudget != comparison.budget) {
            scene.reset();
            Bench::progress("loading " + millions(comparison.budget) + " points to draw");
            scene = std::make_unique<DrawScene>(town10, comparison.budget);
            sceneBudget = comparison.budget;
        }
        comparison.subject(*scene);
        comparison.baseline(*scene);
        Bench::PairedTimes const times = Bench::timeInTurns(
            kFrameRepetitions, [&] { comparison.subject(*scene); }, [&] { comparison.baseline(*scene); });
        results.add(comparison.key, times.ratio(), "x", comparison.aim,
                    std::to_string(scene->pointCount()) + " points, " + std::to_string(times.subject * 1000.0) +
                        " ms a frame");
    }
}

// --- readback and picking ------------------------------------------------------------------

constexpr int kReadbackRepetitions = 7;
constexpr std::size_t kReadbackBudget = 5 * kMillion;
constexpr std::uint64_t kPickTolerance = 8;
constexpr double kPlaneInlierDistance = 0.05;

// A plain copy of a texture to CPU memory: staging copy, map, one memcpy per row.
class StagingCopy {
public:
    StagingCopy(Render::Renderer& renderer, Render::Texture2d const& source)
        : mContext(renderer.deviceContext()), mSource(source.get())
    {
        D3D11_TEXTURE2D_DESC desc = source.desc();
        desc.Usage = D3D11_USAGE_STAGING;
        desc.BindFlags = 0;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        desc.MiscFlags = 0;
        Render::throwIfFailed(renderer.device()->CreateTexture2D(&desc, nullptr, &mStaging));
        UINT const texelBytes = desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM ? 4 : 16;
        mRowBytes = desc.Width * texelBytes;
        mRows = desc.Height;
        mCopy.resize(std::size_t(mRowBytes) * mRows);
    }

    void read()
    {
        mContext->CopyResource(mStaging, mSource);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        Render::throwIfFailed(mContext->Map(mStaging, 0, D3D11_MAP_READ, 0, &mapped));
        for (UINT row = 0; row < mRows; ++row)
            std::memcpy(mCopy.data() + std::size_t(row) * mRowBytes, static_cast<char const*>(mapped.pData) + row * mapped.RowPitch,
                        mRowBytes);
        mContext->Unmap(mStaging, 0);
    }

private:
    ATL::CComPtr<ID3D11DeviceContext> mContext;
    ID3D11Texture2D* mSource;
    ATL::CComPtr<ID3D11Texture2D> mStaging;
    UINT mRowBytes = 0;
    UINT mRows = 0;
    std::vector<char> mCopy;
};

void readback(Results& results, std::filesystem::path const& town10)
{
    Bench::progress("readback and picking on a full frame");
    View view(town10, kReadbackBudget);
    // Close enough above the town that points cover every pixel.
    view.place(lookingDown(kGrowthViewX, kGrowthViewY, 0.75f * kGrowthViewHeight));
    view.settle(false);
    Render::Renderer& renderer = view.renderer();
    Render::Texture2d const& outputColor = renderer.outputPass().texture("color");
    Render::Texture2d const& outputPositions = renderer.outputPass().texture("worldPosition");
    Render::Texture2d const& scenePositions = renderer.scenePass().texture("exactWorldPosition");
    StagingCopy colorCopy(renderer, outputColor);
    StagingCopy outputPositionCopy(renderer, outputPositions);
    StagingCopy scenePositionCopy(renderer, scenePositions);
    std::size_t const pixels = std::size_t(kWidth) * kHeight;

    Graphics::ColorImage image;
    std::vector<Math::Point<float, 3>> visible;
    std::vector<Render::VertexPosColor> chunk(pixels);
    Math::NPlane<float, 3> plane;
    Math::Point<float, 3> point;
    struct Case {
        std::string key;
        std::function<void()> library;
        std::function<void()> baseline;
    };
    std::vector<Case> const cases{
        {"readback_color_image_vs_copy", [&] { renderer.getColorImage(image); }, [&] { colorCopy.read(); }},
        {"readback_visible_points_vs_copy", [&] { renderer.getVisiblePoints(visible); }, [&] { scenePositionCopy.read(); }},
        {"pick_plane_vs_copy",
         [&] { renderer.pickPlane(kWidth / 2, kHeight / 2, kPickTolerance, plane, point, kPlaneInlierDistance); },
         [&] { scenePositionCopy.read(); }},
        {"readback_point_chunk_vs_copy",
         [&] {
             renderer.resetPointChunkPosition();
             Bench::requireSameWork(renderer.getNextPointChunk(chunk.data(), chunk.size()) == pixels, "point chunk");
         },
         [&] {
             colorCopy.read();
             outputPositionCopy.read();
         }},
    };
    for (Case const& readCase : cases) {
        readCase.library();
        Bench::PairedTimes const times = Bench::timeInTurns(kReadbackRepetitions, readCase.library, readCase.baseline);
        results.add(readCase.key, times.ratio(), "x", "", std::to_string(times.subject * 1000.0) + " ms");
    }
    Bench::requireSameWork(image.width == kWidth && image.height == kHeight, "color image size");
    Bench::requireSameWork(!visible.empty(), "visible points found");
    Bench::requireSameWork(renderer.pickPlane(kWidth / 2, kHeight / 2, kPickTolerance, plane, point, kPlaneInlierDistance),
                           "a plane picked");
    results.add("visible_points", double(visible.size()), "points");
}

// --- shader compiles -----------------------------------------------------------------------

void shaderCompiles(Results& results)
{
    Bench::progress("compiling the embedded shaders");
    struct Stage {
        char const* entryPoint;
        char const* profile;
    };
    Stage const vertex{"vs_main", "vs_5_0"};
    Stage const pixel{"ps_main", "ps_5_0"};
    // The point program also has the pixel shader of the tomographic modes and the compute pass
    // that shades the points; post-processing the pixel shader of the point readback's targets.
    std::vector<std::pair<std::string, std::vector<Stage>>> const shaders{
        {"box", {vertex, pixel}},
        {"mesh", {vertex, pixel}},
        {"pano", {vertex, pixel}},
        {"pointcloud", {vertex, pixel, Stage{"ps_tomographic", "ps_5_0"}, Stage{"cs_main", "cs_5_0"}}},
        {"postprocessing", {vertex, pixel, Stage{"ps_point_outputs", "ps_5_0"}}},
    };
    for (auto const& [shader, stages] : shaders) {
        for (Stage const stage : stages) {
            double const seconds = Bench::secondsOf([&] {
                Render::Shader::compileShaderFromResource("shaders/" + shader + ".hlsl", stage.entryPoint, stage.profile);
            });
            results.add("shader_compile_ms/" + shader + "." + stage.entryPoint, seconds * 1000.0, "ms");
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    return Bench::runBenchmark("render_bench", [&](Results& results) {
        std::string const command = argc > 1 ? argv[1] : "";
        if (command == "stream" && argc >= 3)
            streamingAgainstDecoding(results, std::vector<std::filesystem::path>(argv + 2, argv + argc));
        else if (command == "budgets" && argc == 3)
            streamingBudgets(results, argv[2]);
        else if (command == "growth" && argc == 4)
            streamingGrowth(results, argv[2], argv[3]);
        else if (command == "draw" && argc == 3)
            drawing(results, argv[2]);
        else if (command == "readback" && argc == 3)
            readback(results, argv[2]);
        else if (command == "shaders" && argc == 2)
            shaderCompiles(results);
        else
            throw std::invalid_argument("usage: render_bench stream <data set>... | budgets <town-10m> | "
                                        "growth <town-10m> <town-50m> | draw <town-10m> | readback <town-10m> | shaders");
    });
}
