// morvid: the command-line host of the MorvidRender library.
#include "commands.h"

#include "render/comexception.h"
#include "render/renderer.h"

#include <dxgi.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: morvid <command> [options]\n"
    "\n"
    "commands:\n"
    "  render    create a renderer on the Direct3D 11 device and draw one frame\n"
    "  convert   write a Potree 2.0 data set from a text, PLY or LAS point file\n"
    "\n"
    "Run 'morvid <command> --help' for the options of a command.\n";

constexpr char kRenderUsage[] =
    "usage: morvid render [--json]\n"
    "\n"
    "Creates a renderer, prints the graphics adapter and the Direct3D feature\n"
    "level, and draws one cleared frame.\n"
    "\n"
    "options:\n"
    "  --json    print one JSON object instead of text\n"
    "  --help    show this help\n";

struct AdapterInfo {
    std::string description;
    unsigned featureLevel = 0;
};

std::string narrow(wchar_t const* text)
{
    std::string result;
    for (; *text; ++text)
        result += *text < 0x80 ? static_cast<char>(*text) : '?';
    return result;
}

AdapterInfo describeAdapter(Render::Renderer const& renderer)
{
    AdapterInfo info;
    info.featureLevel = static_cast<unsigned>(renderer.device()->GetFeatureLevel());
    ATL::CComPtr<IDXGIDevice> dxgiDevice;
    Render::throwIfFailed(renderer.device().QueryInterface(&dxgiDevice));
    ATL::CComPtr<IDXGIAdapter> adapter;
    Render::throwIfFailed(dxgiDevice->GetAdapter(&adapter));
    DXGI_ADAPTER_DESC desc{};
    Render::throwIfFailed(adapter->GetDesc(&desc));
    info.description = narrow(desc.Description);
    return info;
}

// Clears one offscreen frame and returns its first pixel (B, G, R, A).
std::array<unsigned, 4> drawClearedFrame(Render::Renderer const& renderer)
{
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = 640;
    desc.Height = 480;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET;
    ATL::CComPtr<ID3D11Texture2D> target;
    Render::throwIfFailed(renderer.device()->CreateTexture2D(&desc, nullptr, &target));
    ATL::CComPtr<ID3D11RenderTargetView> view;
    Render::throwIfFailed(renderer.device()->CreateRenderTargetView(target, nullptr, &view));
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ATL::CComPtr<ID3D11Texture2D> staging;
    Render::throwIfFailed(renderer.device()->CreateTexture2D(&desc, nullptr, &staging));

    float const white[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    renderer.deviceContext()->ClearRenderTargetView(view, white);
    renderer.deviceContext()->CopyResource(staging, target);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    Render::throwIfFailed(renderer.deviceContext()->Map(staging, 0, D3D11_MAP_READ, 0, &mapped));
    auto const* pixel = static_cast<unsigned char const*>(mapped.pData);
    std::array<unsigned, 4> const first{pixel[0], pixel[1], pixel[2], pixel[3]};
    renderer.deviceContext()->Unmap(staging, 0);
    return first;
}

int runRender(std::vector<std::string_view> const& args)
{
    bool json = false;
    for (auto arg : args) {
        if (arg == "--help") {
            std::fputs(kRenderUsage, stdout);
            return 0;
        }
        if (arg == "--json") {
            json = true;
            continue;
        }
        std::fprintf(stderr, "morvid render: unknown option '%.*s'\n", static_cast<int>(arg.size()), arg.data());
        return 2;
    }

    std::fputs("creating the renderer...\n", stderr);
    Render::Renderer renderer;
    AdapterInfo const adapter = describeAdapter(renderer);
    auto const pixel = drawClearedFrame(renderer);
    if (json) {
        std::printf("{\"adapter\": \"%s\", \"feature_level\": \"%u_%u\", \"frames\": 1, \"first_pixel_bgra\": "
                    "[%u, %u, %u, %u]}\n",
                    adapter.description.c_str(), adapter.featureLevel >> 12, (adapter.featureLevel >> 8) & 0xf,
                    pixel[0], pixel[1], pixel[2], pixel[3]);
    } else {
        std::printf("adapter: %s\nfeature level: %u_%u\nframes: 1 (first pixel BGRA %u %u %u %u)\n",
                    adapter.description.c_str(), adapter.featureLevel >> 12, (adapter.featureLevel >> 8) & 0xf,
                    pixel[0], pixel[1], pixel[2], pixel[3]);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty() || args.front() == "--help" || args.front() == "-h") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string_view const command = args.front();
    args.erase(args.begin());
    try {
        if (command == "render")
            return runRender(args);
        if (command == "convert")
            return runConvert(args);
        std::fprintf(stderr, "morvid: unknown command '%.*s'\n%s", static_cast<int>(command.size()), command.data(),
                     kUsage);
        return 2;
    } catch (std::exception const& error) {
        std::fprintf(stderr, "morvid %.*s: %s\n", static_cast<int>(command.size()), command.data(), error.what());
        return 1;
    }
}
