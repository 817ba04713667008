// morvid panorama: renders a tiled panorama folder as seen from its centre, or writes one.
#include "commands.h"
#include "dataframe.h"
#include "hostsupport.h"
#include "options.h"
#include "viewsession.h"

#include "core/filereading.h"

#include "graphics/colorimage.h"
#include "graphics/panoramawriter.h"
#include "graphics/tiledpanoramaloader.h"
#include "octree/octree.h"
#include "render/grouprenderable.h"
#include "render/panorenderable.h"
#include "render/pointcloudquery.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: morvid panorama <folder> [--cloud <data set folder>] [options]\n"
    "       morvid panorama make <color.png> <depth.f32> <folder> [make options]\n"
    "       morvid panorama make --room <folder> [make options]\n"
    "       morvid panorama make --from-cloud <data set folder> --station <x,y,z> <folder>\n"
    "\n"
    "The first form loads every tile of a tiled panorama folder and writes the view\n"
    "from its centre as PNG; with --cloud the panorama stands at its scanner station\n"
    "among the points of the data set, one depth buffer deciding what is in front.\n"
    "The second cuts an equirectangular color image and its distances (raw\n"
    "little-endian float32, one per color pixel) into such a folder; with --room it\n"
    "writes the panorama of a synthetic 8 x 6 x 4 room instead; with --from-cloud the\n"
    "color and distance of the nearest point in every direction as seen from the\n"
    "station (in the data set's own coordinates), directions without a point left empty.\n"
    "\n"
    "options:\n"
    "  --cloud <folder>         a data set to draw with the panorama, which must have a station\n"
    "  --budget <points>        point budget of --cloud (default: 3000000)\n"
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
    "  --resolution <pixels>    width of the image made from a cloud, twice its height\n"
    "                           (default: from the number of points, 256 to 4096)\n"
    "  --help                   show this help\n";

constexpr float kZNear = 0.05f;
constexpr float kZFar = 1000.0f;
constexpr double kDegreesToRadians = 3.14159265358979323846 / 180.0;
// The synthetic room: its size and the resolution of its equirectangular images.
constexpr float kRoomHalfExtent[] = {4.0f, 3.0f, 2.0f};
constexpr std::size_t kRoomWidth = 2048;
constexpr std::size_t kRoomHeight = 1024;
// Panoramas made from clouds.
constexpr std::size_t kMinCloudResolution = 256;
constexpr std::size_t kMaxCloudResolution = 4096;
constexpr std::size_t kQueryChunk = 65536;
constexpr char kStationKey[] = "station";
// Drawing a panorama among its cloud.
constexpr std::size_t kDefaultBudget = 3'000'000;
constexpr auto kCloudTimeout = std::chrono::seconds(300);
constexpr auto kPollInterval = std::chrono::milliseconds(20);
// Pixels at the far end of the view show an unknown distance, not a surface.
constexpr float kFarFraction = 0.99f;
// Distances agree within this fraction: a panorama pixel covers a patch of points.
constexpr float kDepthTolerance = 0.05f;

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

// The equirectangular image width for a cloud of `points`: about two points a pixel, a power of two.
std::size_t resolutionFor(std::size_t points)
{
    std::size_t width = kMinCloudResolution;
    while (width < kMaxCloudResolution && 2 * width * width / 2 <= points)
        width *= 2;
    return width;
}

// The nearest point of the data set in every direction from the station: its color and distance.
Graphics::EquirectangularPanorama panoramaOfCloud(std::filesystem::path const& folder,
                                                  Math::Point<double, 3> const& station, std::size_t resolution)
{
    auto const octree = std::make_shared<Octree::Octree>(Tools::openDataSet(folder.string()), 1.0);
    Tools::DataFrame const frame(octree->position());
    Math::Point<float, 3> const centre = frame.toScene(station);
    Render::PointCloudQuery query(octree, {}, Eigen::Matrix4f::Identity(), nullptr,
                                  std::numeric_limits<std::size_t>::max(), 0.0f, std::chrono::nanoseconds::max());
    std::vector<Render::VertexPosColor> points;
    std::vector<Render::VertexPosColor> chunk(kQueryChunk);
    while (!query.isExhausted()) {
        points.insert(points.end(), chunk.begin(), chunk.begin() + query.getNextPointChunk(chunk.data(), chunk.size()));
        std::fprintf(stderr, "\rreading points: %zu", points.size());
    }
    std::fputs("\n", stderr);

    std::size_t const width = resolution != 0 ? resolution : resolutionFor(points.size());
    std::size_t const height = width / 2;
    Graphics::EquirectangularPanorama panorama{Graphics::ColorImage(width, height), Graphics::DepthImage(width, height)};
    panorama.depth.fill(std::numeric_limits<float>::max());
    for (Render::VertexPosColor const& point : points) {
        Eigen::Vector3f const direction = point.position() - centre;
        float const distance = direction.norm();
        if (!(distance > 0.0f))
            continue;
        Graphics::PanoramaFacePoint const at =
            Graphics::PanoramaLoader::facePoint(Graphics::PanoramaLoader::kProjectionEquirectangular, direction);
        std::size_t const x = std::min(static_cast<std::size_t>(at.u * static_cast<float>(width)), width - 1);
        std::size_t const y = std::min(static_cast<std::size_t>(at.v * static_cast<float>(height)), height - 1);
        if (distance < panorama.depth.pixel(x, y)) {
            panorama.depth.setPixel(x, y, distance);
            panorama.color.setPixel(x, y, point.color);
        }
    }
    return panorama;
}

// The station a panorama was made at, in the data set's coordinates, as its description records it.
std::optional<Math::Point<double, 3>> stationOf(std::filesystem::path const& folder)
{
    nlohmann::json const description =
        nlohmann::json::parse(Core::readLocalFile(folder / Graphics::TiledPanoramaLoader::kDescriptionFileName));
    auto const station = description.find(kStationKey);
    if (station == description.end())
        return std::nullopt;
    return Math::Point<double, 3>((*station)[0].get<double>(), (*station)[1].get<double>(), (*station)[2].get<double>());
}

void recordStation(std::filesystem::path const& folder, Math::Point<double, 3> const& station)
{
    std::filesystem::path const path = folder / Graphics::TiledPanoramaLoader::kDescriptionFileName;
    nlohmann::json description = nlohmann::json::parse(Core::readLocalFile(path));
    description[kStationKey] = {station.x(), station.y(), station.z()};
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << description.dump(2) << '\n';
    if (!file.flush())
        throw std::runtime_error(fmt::format("cannot write \"{}\"", path.string()));
}

int runMake(Tools::Options const& options)
{
    options.refuse(kViewOnlyOptions, "'panorama make'");
    std::vector<std::string> const& inputs = options.positional();
    bool const room = options.has("--room");
    auto const cloud = options.value("--from-cloud");
    auto const station = Tools::dataPointValue(options, "--station");
    if (cloud && !station)
        throw Tools::UsageError("make --from-cloud needs --station <x,y,z>");
    if (station && !cloud)
        throw Tools::UsageError("--station belongs to make --from-cloud");
    if (room && cloud)
        throw Tools::UsageError("make takes --room or --from-cloud, not both");
    if (inputs.size() != (room || cloud ? 2u : 4u))
        throw Tools::UsageError(room    ? "make --room expects one folder"
                                : cloud ? "make --from-cloud expects one folder to write"
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
    std::size_t const resolution = options.unsignedValue("--resolution", 0);
    if (resolution % 2 != 0)
        throw Tools::UsageError(fmt::format("--resolution must be an even number of pixels, not {}", resolution));
    if (room) {
        panorama = Graphics::makeRoomPanorama(kRoomWidth, kRoomHeight,
                                              Eigen::Vector3f(kRoomHalfExtent[0], kRoomHalfExtent[1], kRoomHalfExtent[2]));
    } else if (cloud) {
        panorama = panoramaOfCloud(*cloud, *station, resolution);
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
    if (station)
        recordStation(folder, *station);
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

// How well the panorama's distances match the points' where both show something, seen from the eye.
struct DepthAgreement {
    std::size_t panoramaPixels = 0;
    std::size_t cloudPixels = 0;
    std::size_t bothPixels = 0;
    std::size_t agreeingPixels = 0;

    double fraction() const { return bothPixels == 0 ? 0.0 : static_cast<double>(agreeingPixels) / bothPixels; }
};

// Distances from the eye of every pixel of the frame, or nothing where no point or surface was drawn.
std::vector<std::optional<float>> frameDistances(Render::Renderer& renderer, Math::Point<float, 3> const& eye)
{
    std::vector<Render::VertexPosColor> pixels;
    renderer.getPoints(pixels, false);
    std::vector<std::optional<float>> distances;
    distances.reserve(pixels.size());
    for (Render::VertexPosColor const& pixel : pixels) {
        float const distance = (pixel.position() - eye).norm();
        bool const drawn = pixel.isValid() && pixel.color.a() > 0 && distance < kZFar * kFarFraction;
        distances.push_back(drawn ? std::optional<float>(distance) : std::nullopt);
    }
    return distances;
}

// Streams the cloud (drawn with the panorama, not loaded yet) into the frame, compares the distances
// it shows alone with the panorama's, and shows both again for the final picture.
DepthAgreement drawWithCloud(Render::Renderer& renderer, Render::PanoRenderable& pano,
                             Render::PointCloudRenderable& cloud, Math::Point<float, 3> const& eye,
                             std::string const& cloudFolder)
{
    std::vector<std::optional<float>> const panorama = frameDistances(renderer, eye);
    pano.setVisible(false);
    cloud.startAsyncReload(std::function<void()>(), std::numeric_limits<std::size_t>::max());
    auto const deadline = std::chrono::steady_clock::now() + kCloudTimeout;
    while ((cloud.isLoading() || renderer.needsRedraw()) && std::chrono::steady_clock::now() < deadline) {
        if (renderer.needsRedraw()) {
            renderer.render();
            std::fprintf(stderr, "\rloading %s: %zu points   ", cloudFolder.c_str(), cloud.loadedPointCount());
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    std::fputs("\n", stderr);
    cloud.isAsyncReloadHealthy(true);
    if (cloud.isLoading())
        throw std::runtime_error(fmt::format("{}: loading did not settle within {} s", cloudFolder,
                                             std::chrono::duration_cast<std::chrono::seconds>(kCloudTimeout).count()));
    renderer.render();
    std::vector<std::optional<float>> const points = frameDistances(renderer, eye);

    DepthAgreement agreement;
    for (std::size_t i = 0; i < points.size(); ++i) {
        agreement.panoramaPixels += panorama[i].has_value();
        agreement.cloudPixels += points[i].has_value();
        if (!panorama[i] || !points[i])
            continue;
        ++agreement.bothPixels;
        agreement.agreeingPixels += std::abs(*panorama[i] - *points[i]) <= kDepthTolerance * *points[i];
    }
    pano.setVisible(true);
    renderer.render();
    return agreement;
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

    auto const cloudFolder = options.value("--cloud");
    std::size_t const budget = positiveValue(options, "--budget", kDefaultBudget);

    auto loader = std::make_shared<Graphics::TiledPanoramaLoader>(folder);
    auto const pano = Render::PanoRenderable::create(loader, folder.filename().string());
    std::shared_ptr<Render::PointCloudRenderable> cloud;
    Math::Point<float, 3> eye(0.0f, 0.0f, 0.0f);
    if (cloudFolder) {
        auto const station = stationOf(folder);
        if (!station)
            throw std::runtime_error(fmt::format("{}: the panorama records no station to stand at among the points",
                                                 folder.string()));
        cloud = Render::PointCloudRenderable::create(Tools::openDataSet(*cloudFolder),
                                                     std::filesystem::path(*cloudFolder).filename().string(), budget,
                                                     1.0);
        eye = Tools::DataFrame(cloud->referencePosition()).toScene(*station);
        Eigen::Matrix4f placement = Eigen::Matrix4f::Identity();
        placement.topRightCorner<3, 1>() = eye;
        pano->setMatrix(placement);
    }
    Render::Renderer renderer;
    renderer.setViewport(width, height);
    if (cloud) {
        auto const scene = Render::GroupRenderable::create("scene");
        scene->add(pano);
        scene->add(cloud);
        renderer.setScene(scene);
    } else {
        renderer.setScene(pano);
    }
    Eigen::Vector3f const direction(static_cast<float>(std::cos(pitch) * std::cos(yaw)),
                                    static_cast<float>(std::cos(pitch) * std::sin(yaw)),
                                    static_cast<float>(std::sin(pitch)));
    // Straight up or down, the vertical axis cannot serve as "up".
    Eigen::Vector3f const up = std::abs(direction.z()) > 0.999f ? Eigen::Vector3f::UnitX() : Eigen::Vector3f::UnitZ();
    renderer.setCameraPose(eye, direction, up);
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
    std::optional<DepthAgreement> agreement;
    if (cloud)
        agreement = drawWithCloud(renderer, *pano, *cloud, eye, *cloudFolder);
    Graphics::ColorImage image;
    renderer.getColorImage(image);
    image.writePng(output);

    if (options.has("--json")) {
        nlohmann::json json{
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
        if (agreement)
            json["cloud"] = {{"input", *cloudFolder},
                             {"points_loaded", cloud->loadedPointCount()},
                             {"panorama_pixels", agreement->panoramaPixels},
                             {"cloud_pixels", agreement->cloudPixels},
                             {"both_pixels", agreement->bothPixels},
                             {"depth_agreement", agreement->fraction()}};
        std::printf("%s\n", json.dump().c_str());
    } else {
        std::printf("wrote %s: %zu x %zu, %zu tiles loaded in %.1f s\n", output.generic_string().c_str(), width, height, loaded,
                    secondsLoading);
        if (agreement)
            std::printf("with %s: panorama and points agree in depth on %.1f%% of the %zu pixels both cover\n",
                        cloudFolder->c_str(), 100.0 * agreement->fraction(), agreement->bothPixels);
    }
    return 0;
}

} // namespace

int runPanorama(std::vector<std::string_view> const& args)
{
    Tools::Options const options(args, {"--help", "--json", "--room"},
                                 {"--output", "--width", "--height", "--yaw", "--pitch", "--fov", "--projection",
                                  "--rows", "--columns", "--levels", "--tile-size", "--from-cloud", "--station",
                                  "--resolution", "--cloud", "--budget"});
    if (options.has("--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!options.positional().empty() && options.positional().front() == "make")
        return runMake(options);
    return runView(options);
}
