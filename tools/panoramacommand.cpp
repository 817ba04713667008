// morvid panorama: renders a tiled panorama folder as seen from its centre, or writes one.
#include "commands.h"
#include "hostsupport.h"
#include "options.h"

#include "graphics/colorimage.h"
#include "graphics/panoramawriter.h"
#include "graphics/tiledpanoramaloader.h"
#include "render/panorenderable.h"
#include "render/renderer.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

constexpr char kUsage[] =
    "usage: morvid panorama <folder> [options]\n"
    "       morvid panorama make <color.png> <depth.f32> <folder> [make options]\n"
    "       morvid panorama make --room <folder> [make options]\n"
    "\n"
    "The first form loads every tile of a tiled panorama folder and writes the view\n"
    "from its centre as PNG. The second cuts an equirectangular color image and its\n"
    "distances (raw little-endian float32, one per color pixel) into such a folder;\n"
    "with --room it writes the panorama of a synthetic 8 x 6 x 4 room instead.\n"
    "\n"
    "options:\n"
    "  -o, --output <file.png>  image to write (default: panorama.png)\n"
    "  --width <pixels>         image width (default: 640)\n"
    "  --height <pixels>        image height (default: 480)\n"
    "  --yaw <degrees>          viewing direction from +x towards +y (default: 0)\n"
    "  --pitch <degrees>        viewing direction above the horizon (default: 0)\n"
    "  --fov <degrees>          vertical field of view (default: 60)\n"
    "  --json                   print one JSON object describing the run (both forms)\n"
    "\n"
    "make options:\n"
    "  --projection <name>      equirectangular (default) or cube\n"
    "  --rows <n>               tile rows per face (default: 2, cube: 1)\n"
    "  --columns <n>            tile columns per face (default: 4, cube: 1)\n"
    "  --levels <n>             resolution levels, each half the next (default: 3)\n"
    "  --tile-size <pixels>     tile side of the finest level (default: from the image)\n"
    "  --help                   show this help\n";

constexpr float kZNear = 0.05f;
constexpr float kZFar = 1000.0f;
constexpr double kDegreesToRadians = 3.14159265358979323846 / 180.0;
// The synthetic room: its size and the resolution of its equirectangular images.
constexpr float kRoomHalfExtent[] = {4.0f, 3.0f, 2.0f};
constexpr std::size_t kRoomWidth = 2048;
constexpr std::size_t kRoomHeight = 1024;

char const* jobStateName(Core::JobState state)
{
    switch (state) {
    case Core::JobState::Idle:
        return "idle";
    case Core::JobState::Running:
        return "running";
    case Core::JobState::Stopped:
        return "stopped";
    case Core::JobState::Finished:
        return "finished";
    case Core::JobState::Failed:
        return "failed";
    }
    return "unknown";
}

// Options of one form that the other form does not take.
std::vector<std::string_view> const kViewOnlyOptions{"--output", "--width", "--height", "--yaw", "--pitch", "--fov"};
std::vector<std::string_view> const kMakeOnlyOptions{"--room",   "--projection", "--rows",
                                                     "--columns", "--levels",     "--tile-size"};

std::uint32_t projectionFrom(Tools::Options const& options)
{
    return options.choiceValue("--projection", {"equirectangular", "cube"}, "equirectangular") == "cube"
               ? Graphics::PanoramaLoader::kProjectionCubeMap
               : Graphics::PanoramaLoader::kProjectionEquirectangular;
}

std::size_t positiveValue(Tools::Options const& options, std::string_view option, std::size_t fallback)
{
    std::size_t const value = options.unsignedValue(option, fallback);
    if (value == 0)
        throw Tools::UsageError(fmt::format("{} must be at least 1", option));
    return value;
}

int runMake(Tools::Options const& options)
{
    options.refuse(kViewOnlyOptions, "'panorama make'");
    std::vector<std::string> const& inputs = options.positional();
    bool const room = options.has("--room");
    if (inputs.size() != (room ? 2u : 4u))
        throw Tools::UsageError(room ? "make --room expects one folder"
                                     : "make expects a color image, a depth file and a folder");
    Graphics::PanoramaWriterOptions writerOptions;
    writerOptions.projectionType = projectionFrom(options);
    bool const cube = writerOptions.projectionType != Graphics::PanoramaLoader::kProjectionEquirectangular;
    writerOptions.tileRows = positiveValue(options, "--rows", cube ? 1 : writerOptions.tileRows);
    writerOptions.tileColumns = positiveValue(options, "--columns", cube ? 1 : writerOptions.tileColumns);
    writerOptions.levels = positiveValue(options, "--levels", writerOptions.levels);
    writerOptions.tileWidth = writerOptions.tileHeight = options.unsignedValue("--tile-size", 0);

    std::filesystem::path const folder = inputs.back();
    Tools::checkOutputFolder(folder);
    Graphics::EquirectangularPanorama panorama;
    if (room) {
        panorama = Graphics::makeRoomPanorama(kRoomWidth, kRoomHeight,
                                              Eigen::Vector3f(kRoomHalfExtent[0], kRoomHalfExtent[1], kRoomHalfExtent[2]));
    } else {
        panorama.color = Graphics::readPng(inputs[1]);
        panorama.depth = Graphics::readDepth(inputs[2], panorama.color.width, panorama.color.height);
    }
    Graphics::PanoramaLayout layout;
    try {
        layout = Graphics::PanoramaWriter::write(folder, panorama.color, panorama.depth, writerOptions);
    } catch (std::invalid_argument const& error) {
        throw Tools::UsageError(error.what());
    }
    std::size_t const faces = cube ? Graphics::PanoramaLoader::kCubeFaces : 1;
    char const* const projection = cube ? "cube map" : "equirectangular";
    if (options.has("--json")) {
        nlohmann::json const json{
            {"output", folder.generic_string()},
            {"projection", cube ? "cube" : "equirectangular"},
            {"tile_rows", layout.tileRows},
            {"tile_columns", layout.tileColumns},
            {"levels", layout.levels.size()},
            {"tile_width", layout.levels.back().width},
            {"tile_height", layout.levels.back().height},
            {"tiles", faces * layout.tileRows * layout.tileColumns * layout.levels.size()},
        };
        std::printf("%s\n", json.dump().c_str());
        return 0;
    }
    std::printf("wrote %s: %s, %zu x %zu tiles per face, %zu levels, finest tiles %zu x %zu pixels\n",
                folder.generic_string().c_str(), projection, layout.tileRows, layout.tileColumns,
                layout.levels.size(), layout.levels.back().width, layout.levels.back().height);
    std::fprintf(stderr, "%zu tiles of color and of depth\n", faces * layout.tileRows * layout.tileColumns *
                                                                   layout.levels.size());
    return 0;
}

int runView(Tools::Options const& options)
{
    options.refuse(kMakeOnlyOptions, "the view of a panorama (only to 'panorama make')");
    if (options.positional().size() != 1)
        throw Tools::UsageError("expects one panorama folder");
    std::filesystem::path const folder = options.positional().front();
    std::filesystem::path const output = options.value("--output").value_or("panorama.png");
    Tools::checkOutputFile(output, {".png"});
    std::size_t const width = positiveValue(options, "--width", 640);
    std::size_t const height = positiveValue(options, "--height", 480);
    double const yaw = options.numberValue("--yaw", 0.0) * kDegreesToRadians;
    double const pitch = options.numberValue("--pitch", 0.0) * kDegreesToRadians;
    double const fov = options.numberValue("--fov", 60.0);
    if (!(fov > 0.0 && fov < 180.0))
        throw Tools::UsageError(fmt::format("--fov must lie between 0 and 180 degrees, not {}", fov));

    auto loader = std::make_shared<Graphics::TiledPanoramaLoader>(folder);
    auto const pano = Render::PanoRenderable::create(loader, folder.filename().string());
    Render::Renderer renderer;
    renderer.setViewport(width, height);
    renderer.setScene(pano);
    Eigen::Vector3f const direction(static_cast<float>(std::cos(pitch) * std::cos(yaw)),
                                    static_cast<float>(std::cos(pitch) * std::sin(yaw)),
                                    static_cast<float>(std::sin(pitch)));
    // Straight up or down, the vertical axis cannot serve as "up".
    Eigen::Vector3f const up = std::abs(direction.z()) > 0.999f ? Eigen::Vector3f::UnitX() : Eigen::Vector3f::UnitZ();
    renderer.setCameraPose(Math::Point<float, 3>(0.0f, 0.0f, 0.0f), direction, up);
    renderer.setPerspective(static_cast<float>(fov), kZNear, kZFar);

    std::size_t const totalTiles =
        loader->numTilesPerLevel() * (loader->numColorLevels() + loader->numDepthLevels());
    std::size_t loaded = 0;
    auto const start = std::chrono::steady_clock::now();
    Core::JobState const state = pano->loadPanoramaTiles(std::stop_token(), [&] {
        std::fprintf(stderr, "\rloading tiles: %zu of %zu", ++loaded, totalTiles);
    });
    std::fputs("\n", stderr);
    double const secondsLoading = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (state != Core::JobState::Finished)
        throw std::runtime_error(pano->loadingError());
    renderer.render();
    Graphics::ColorImage image;
    renderer.getColorImage(image);
    image.writePng(output);

    if (options.has("--json")) {
        nlohmann::json const json{
            {"input", folder.generic_string()},
            {"output", output.generic_string()},
            {"adapter", Tools::adapterName(renderer)},
            {"width", width},
            {"height", height},
            {"projection", loader->projectionType() == Graphics::PanoramaLoader::kProjectionEquirectangular
                               ? "equirectangular"
                               : "cube"},
            {"tile_rows", loader->tileRows()},
            {"tile_columns", loader->tileColumns()},
            {"color_levels", loader->numColorLevels()},
            {"depth_levels", loader->numDepthLevels()},
            {"tiles_loaded", loaded},
            {"state", jobStateName(state)},
            {"seconds_loading", secondsLoading},
        };
        std::printf("%s\n", json.dump().c_str());
    } else {
        std::printf("wrote %s: %zu x %zu, %zu tiles loaded in %.1f s\n", output.generic_string().c_str(), width, height, loaded,
                    secondsLoading);
    }
    return 0;
}

} // namespace

int runPanorama(std::vector<std::string_view> const& args)
{
    Tools::Options const options(args, {"--help", "--json", "--room"},
                                 {"--output", "--width", "--height", "--yaw", "--pitch", "--fov", "--projection",
                                  "--rows", "--columns", "--levels", "--tile-size"});
    if (options.has("--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!options.positional().empty() && options.positional().front() == "make")
        return runMake(options);
    return runView(options);
}
