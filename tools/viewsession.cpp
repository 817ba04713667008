#include "viewsession.h"

#include "hostsupport.h"
#include "objsurface.h"
#include "samplescene.h"

#include "math/boxclippingregion.h"
#include "math/nplane.h"
#include "octree/potreewriter.h"
#include "render/camera.h"
#include "render/meshrenderable.h"
#include "render/viewframing.h"

#include <windows.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace Tools {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kSamplePoints = 2'400'000;
constexpr double kTomographicContrast = 0.2;
// The library caps a point at a few pixels, which suits a frame a few hundred pixels tall; a taller
// frame of the same view lets points grow in proportion (10 pixels at 720), so that a sparse scan
// keeps its surfaces instead of falling apart into dots.
constexpr float kMaxPointSizePerFrameHeight = 1.0f / 72.0f;
constexpr auto kPollInterval = std::chrono::milliseconds(20);

struct NamedValue {
    std::string_view name;
    int value;
};

constexpr std::array kRenderModes{
    NamedValue{"default", 0},        NamedValue{"tomographic-dark", 1}, NamedValue{"tomographic-bright", 2},
    NamedValue{"normals", 3},        NamedValue{"plane-distance", 4},   NamedValue{"intensity", 5},
    NamedValue{"uniform", 6},        NamedValue{"mesh-distance", 7},    NamedValue{"classification", 8},
};

constexpr std::array kColorMaps{
    NamedValue{"turbo", 0},          NamedValue{"inferno", 1},          NamedValue{"magma", 2},
    NamedValue{"viridis", 3},        NamedValue{"plasma", 4},           NamedValue{"gray", 5},
    NamedValue{"bone", 6},           NamedValue{"red-white-blue", 7},   NamedValue{"level-of-accuracy", 8},
    NamedValue{"pass-fail", 9},      NamedValue{"traffic-light", 10},   NamedValue{"cool-warm", 11},
    NamedValue{"level-of-accuracy-imperial", 12},
};
static_assert(kRenderModes.size() == 9 && kColorMaps.size() == 13, "every mode and color map has a name");

template <std::size_t N>
int lookUp(std::array<NamedValue, N> const& table, Options const& options, std::string_view option,
           std::string_view fallback)
{
    std::vector<std::string_view> names;
    for (auto const& entry : table)
        names.push_back(entry.name);
    std::string const name = options.choiceValue(option, names, fallback);
    return std::ranges::find(table, name, &NamedValue::name)->value;
}

std::filesystem::path executableFolder()
{
    std::array<wchar_t, MAX_PATH> buffer{};
    GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::filesystem::path(buffer.data()).parent_path();
}

// The sample scene, written once next to the build and reused afterwards.
std::filesystem::path ensureSampleScene()
{
    std::filesystem::path const folder = executableFolder().parent_path() / "sample-scene";
    if (std::filesystem::exists(folder / "metadata.json"))
        return folder;
    std::fputs("generating the sample scene...\n", stderr);
    Octree::SourcePoints const scene = makeSampleScene(kSamplePoints);
    PoTree::WriterOptions options;
    options.encoding = PoTree::Encoding::Brotli;
    // Written under a name of this process's own, so that programs started together never share one.
    std::filesystem::path const partial = fmt::format("{}.partial-{}", folder.string(), GetCurrentProcessId());
    std::filesystem::remove_all(partial);
    int shownPercent = -1;
    PoTree::writePotree(scene, partial, options, [&](double done) {
        int const percent = static_cast<int>(100.0 * done);
        if (percent != shownPercent)
            std::fprintf(stderr, "\rwriting the sample scene: %3d%%", shownPercent = percent);
    });
    std::fputs("\n", stderr);
    std::error_code renameError;
    std::filesystem::rename(partial, folder, renameError);
    if (renameError) {
        // Another program finished the same scene first: use its copy.
        std::filesystem::remove_all(partial);
        if (!std::filesystem::exists(folder / "metadata.json"))
            throw std::filesystem::filesystem_error("cannot move the sample scene into place", partial, folder,
                                                    renameError);
    }
    return folder;
}

struct CameraChoice {
    std::optional<Math::Point<double, 3>> eye;
    std::optional<Math::Point<double, 3>> target;
    float fieldOfView;
};

CameraChoice cameraChoiceFrom(Options const& options)
{
    CameraChoice const choice{dataPointValue(options, "--eye"), dataPointValue(options, "--target"),
                              static_cast<float>(options.numberValue("--fov", 50.0))};
    if (!(choice.fieldOfView > 0.0f && choice.fieldOfView < 180.0f))
        throw UsageError("--fov must lie between 0 and 180 degrees, both excluded");
    if (choice.eye && choice.target && *choice.eye == *choice.target)
        throw UsageError("--eye and --target must differ: the camera needs a direction to look in");
    return choice;
}

// Without --eye and --target, the whole of the clouds framed from above one corner, as a user would
// first look at a scan; either one given keeps the framing's distance and direction for the other.
void placeCamera(Render::Renderer& renderer, std::vector<std::shared_ptr<Render::PointCloudRenderable>> const& clouds,
                 CameraChoice const& choice, DataFrame const& frame)
{
    Math::NBoundingBox<float, 3> const box = renderer.boundingBox();
    if (box.isEmpty())
        return;
    float const fov = choice.fieldOfView;
    // One cloud is framed by its points; several by the box around them all.
    Render::CameraPlacement const framing =
        clouds.size() == 1 ? Render::frameCloud(*clouds.front(), fov, renderer.aspectRatio())
                           : Render::frameBox(box, Render::obliqueViewDirection(), fov, renderer.aspectRatio());
    Math::Point<float, 3> const target = choice.target ? frame.toScene(*choice.target) : framing.target;
    Math::Point<float, 3> const eye =
        choice.eye ? frame.toScene(*choice.eye) : Math::Point<float, 3>(target + (framing.eye - framing.target));
    float const distance = (eye - target).norm();
    renderer.setPerspective(fov, 0.01f, 2.0f * distance + box.size().norm());
    renderer.setAutoAdjustZRange(true);
    renderer.setCameraPose(eye, target, Eigen::Vector3f::UnitZ());
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> intensityRangeFrom(Options const& options)
{
    auto const text = options.value("--intensity-range");
    if (!text)
        return std::nullopt;
    unsigned low = 0;
    unsigned high = 0;
    char const* const end = text->data() + text->size();
    auto const first = std::from_chars(text->data(), end, low);
    bool const separated = first.ec == std::errc() && first.ptr != end && *first.ptr == ',';
    auto const second = separated ? std::from_chars(first.ptr + 1, end, high) : first;
    if (!separated || second.ec != std::errc() || second.ptr != end || low >= high || high > 65535)
        throw UsageError("--intensity-range expects a,b with 0 <= a < b <= 65535, not '" + *text + "'");
    return std::pair{static_cast<std::uint16_t>(low), static_cast<std::uint16_t>(high)};
}

Eigen::Matrix4f translation(Math::Point<float, 3> const& offset)
{
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix.topRightCorner<3, 1>() = offset;
    return matrix;
}

std::vector<std::string_view> concatenated(std::vector<std::string_view> names, std::vector<std::string_view> const& more)
{
    names.insert(names.end(), more.begin(), more.end());
    return names;
}

} // namespace

namespace {

std::optional<Math::Color> colorFrom(Options const& options, std::string_view option)
{
    auto const rgb = options.tripleValue(option);
    if (!rgb)
        return std::nullopt;
    auto channel = [&](double value) {
        if (!(value >= 0.0 && value <= 255.0))
            throw UsageError(fmt::format("{} channels must lie in 0-255", option));
        return static_cast<std::uint8_t>(value);
    };
    return Math::Color(channel((*rgb)[0]), channel((*rgb)[1]), channel((*rgb)[2]), 255);
}

// Each color channel over the background by its alpha.
Math::Color composited(Math::Color const& color, Math::Color const& background)
{
    auto const channel = [&](std::uint8_t front, std::uint8_t back) {
        return static_cast<std::uint8_t>((front * color.a() + back * (255 - color.a()) + 127) / 255);
    };
    return Math::Color(channel(color.r(), background.r()), channel(color.g(), background.g()),
                       channel(color.b(), background.b()), 255);
}

} // namespace

Math::Color backgroundFrom(Options const& options, Math::Color const& fallback)
{
    return colorFrom(options, "--background").value_or(fallback);
}

Render::EyeDomeLighting eyeDomeLightingFrom(Options const& options, bool enabledByDefault)
{
    if (options.has("--edl") && options.has("--no-edl"))
        throw UsageError("--edl and --no-edl exclude each other");
    Render::EyeDomeLighting lighting;
    lighting.enabled = options.has("--edl") || (enabledByDefault && !options.has("--no-edl"));
    lighting.strength = static_cast<float>(options.numberValue("--edl-strength", lighting.strength));
    lighting.radius = static_cast<float>(options.numberValue("--edl-radius", lighting.radius));
    if (!std::isfinite(lighting.strength) || lighting.strength < 0.0f)
        throw UsageError("--edl-strength must be a number of at least 0");
    if (!std::isfinite(lighting.radius) || lighting.radius <= 0.0f || lighting.radius > 64.0f)
        throw UsageError("--edl-radius must be a number of pixels above 0 and at most 64");
    return lighting;
}

std::string eyeDomeLightingHelp(bool enabledByDefault)
{
    return fmt::format("  --edl, --no-edl          eye-dome lighting, which outlines shapes by their depth\n"
                       "                           (default: {})\n"
                       "  --edl-strength <factor>  how dark the outlines get (default: {})\n"
                       "  --edl-radius <pixels>    how far apart the compared depths lie (default: {})\n",
                       enabledByDefault ? "on" : "off", Render::EyeDomeLighting::kDefaultStrength,
                       Render::EyeDomeLighting::kDefaultRadius);
}

ImageSummary summarize(Graphics::ColorImage const& image, Math::Color const& background)
{
    std::vector<std::uint32_t> colors;
    colors.reserve(image.width * image.height);
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::size_t x = 0; x < image.width; ++x)
            if (Math::Color const color = image.pixel(x, y); color != background)
                colors.push_back(color.packed());
    ImageSummary summary;
    std::size_t const pixels = image.width * image.height;
    summary.coverage = pixels == 0 ? 0.0 : static_cast<double>(colors.size()) / static_cast<double>(pixels);
    std::sort(colors.begin(), colors.end());
    summary.distinctColors = static_cast<std::size_t>(std::unique(colors.begin(), colors.end()) - colors.begin());
    return summary;
}

std::optional<Math::Point<double, 3>> dataPointValue(Options const& options, std::string_view option)
{
    if (auto const value = options.tripleValue(option))
        return Math::Point<double, 3>((*value)[0], (*value)[1], (*value)[2]);
    return std::nullopt;
}

std::optional<std::pair<float, float>> rangeValue(Options const& options, std::string_view option)
{
    auto const numbers = options.numberListValue(option, 2, "two numbers as a,b");
    if (!numbers)
        return std::nullopt;
    auto const [low, high] = std::pair((*numbers)[0], (*numbers)[1]);
    if (!std::isfinite(low) || !std::isfinite(high) || !(low < high))
        throw UsageError(fmt::format("{} expects a,b with a < b, not '{}'", option, *options.value(option)));
    return std::pair(static_cast<float>(low), static_cast<float>(high));
}

namespace {

constexpr std::size_t kBoxNumbers = 6;
constexpr std::size_t kPlaneNumbers = 4;

struct ClippingChoice {
    std::optional<Math::NBoundingBox<double, 3>> box;
    Eigen::Vector3d planeNormal = Eigen::Vector3d::UnitZ();
    double planeOffset = 0.0;
};

// --clip-box as region clipping with a box region, --distance-plane as the plane of the
// plane-distance mode (the horizontal plane through the origin when absent), both in the data
// set's coordinates.
ClippingChoice clippingChoiceFrom(Options const& options)
{
    ClippingChoice choice;
    if (auto const box =
            options.numberListValue("--clip-box", kBoxNumbers, "six numbers as minx,miny,minz,maxx,maxy,maxz")) {
        auto const& n = *box;
        choice.box.emplace(Math::Point<double, 3>(n[0], n[1], n[2]), Math::Point<double, 3>(n[3], n[4], n[5]));
        if (choice.box->isEmpty())
            throw UsageError("--clip-box minimum must not exceed its maximum");
    }
    if (auto const plane = options.numberListValue("--distance-plane", kPlaneNumbers, "four numbers as a,b,c,d")) {
        choice.planeNormal = Eigen::Vector3d((*plane)[0], (*plane)[1], (*plane)[2]);
        choice.planeOffset = (*plane)[3];
        if (!(choice.planeNormal.norm() > 0.0))
            throw UsageError("--distance-plane needs a normal a,b,c that is not zero");
    }
    return choice;
}

void applyClipping(Render::Renderer& renderer, ClippingChoice const& choice, DataFrame const& frame)
{
    if (choice.box) {
        Math::NBoundingBox<float, 3> const sceneBox(frame.toScene(choice.box->min()), frame.toScene(choice.box->max()));
        renderer.setClippingRegion(std::make_shared<Math::BoxClippingRegion<float>>(sceneBox));
        renderer.setRegionClippingActive(true);
    }
    // Distances along a unit normal, so that the color range is in scene units.
    renderer.setPlaneForDistanceColorization(frame.planeToScene(choice.planeNormal, choice.planeOffset));
}

// Mesh-distance and plane-distance coloring: the distance mesh, the ranges, the map and the sign.
struct DistanceChoice {
    std::optional<std::filesystem::path> meshFile;
    std::optional<std::pair<float, float>> range;
    std::optional<std::pair<float, float>> passFail;
    std::optional<std::pair<float, float>> warn;
    Render::ColorMap colorMap = Render::ColorMap::Turbo;
    bool useSignedDistance = true;
};

DistanceChoice distanceChoiceFrom(Options const& options, Render::RenderMode mode)
{
    DistanceChoice choice;
    if (auto const file = options.value("--distance-mesh"))
        choice.meshFile = *file;
    if (mode == Render::RenderMode::ColorizeByMeshDistance && !choice.meshFile)
        throw UsageError("--mode mesh-distance needs --distance-mesh <file.obj>");
    choice.range = rangeValue(options, "--distance-range");
    choice.passFail = rangeValue(options, "--pass-fail-range");
    choice.warn = rangeValue(options, "--warn-range");
    choice.colorMap = static_cast<Render::ColorMap>(lookUp(kColorMaps, options, "--distance-color-map", "turbo"));
    choice.useSignedDistance = !options.has("--unsigned-distance");
    return choice;
}

void applyDistances(Render::Renderer& renderer, DistanceChoice const& choice,
                    std::shared_ptr<Math::TriangleMesh<float>> mesh)
{
    renderer.setDistanceColorMap(choice.colorMap);
    renderer.setUseSignedDistance(choice.useSignedDistance);
    if (choice.range)
        renderer.setDistanceColorMapRange(choice.range->first, choice.range->second);
    if (choice.passFail)
        renderer.setPassFailDistanceRange(choice.passFail->first, choice.passFail->second);
    if (choice.warn)
        renderer.setWarnDistanceRange(choice.warn->first, choice.warn->second);
    if (mesh)
        renderer.setMeshForDistanceColorization(std::move(mesh));
}

} // namespace

char const kViewOptionsHelp[] =
    "  --width <pixels>         image width (default: 1280)\n"
    "  --height <pixels>        image height (default: 720)\n"
    "  --mode <name>            render mode: default, tomographic-dark, tomographic-bright,\n"
    "                           normals, plane-distance, intensity, uniform, mesh-distance,\n"
    "                           classification (default: default)\n"
    "  --color-map <name>       intensity color map: turbo, inferno, magma, viridis, plasma,\n"
    "                           gray, bone, red-white-blue, level-of-accuracy, pass-fail,\n"
    "                           traffic-light, cool-warm, level-of-accuracy-imperial\n"
    "                           (default: gray)\n"
    "  --intensity-range <a,b>  intensities mapped onto the color map (default: the 1st to\n"
    "                           99th percentile of the first data set's coarse levels)\n"
    "  --budget <points>        point budget (default: 3000000)\n"
    "  --background <r,g,b>     background color, 0-255 each (default: 255,255,255; black\n"
    "                           for tomographic-bright)\n"
    "  --transparent            keep the alpha of the frame instead of compositing it onto\n"
    "                           the background\n"
    "  --tomographic-color <r,g,b>\n"
    "                           contour color of the tomographic modes (default: black for\n"
    "                           tomographic-dark, white for tomographic-bright)\n"
    "  --tomographic-contrast <a>\n"
    "                           opacity one point adds in the tomographic modes (default: 0.2)\n"
    "  --eye <x,y,z>            camera position (default: above a corner, the whole cloud in\n"
    "                           view)\n"
    "  --target <x,y,z>         point the camera looks at (default: the cloud's centre)\n"
    "  --fov <degrees>          vertical field of view (default: 50)\n"
    "  --timeout <seconds>      longest wait for loading to settle (default: 300)\n"
    "  --mesh <file.obj>        a triangle mesh to draw with the cloud\n"
    "  --mesh-scale <factor>    units of the data set per unit of the mesh files (default: 1)\n"
    "  --clip-box <minx,miny,minz,maxx,maxy,maxz>\n"
    "                           show only the points inside this box\n"
    "  --distance-plane <a,b,c,d>\n"
    "                           plane a x + b y + c z + d = 0 of --mode plane-distance\n"
    "                           (default: 0,0,1,0)\n"
    "  --distance-mesh <file.obj>\n"
    "                           reference surface of --mode mesh-distance\n"
    "  --distance-range <a,b>   distances spread over the distance color map; with\n"
    "                           --mode mesh-distance others keep their own color\n"
    "  --distance-color-map <name>\n"
    "                           color map of the distances, names as --color-map (default: turbo)\n"
    "  --pass-fail-range <a,b>  distances that pass, for the pass-fail and traffic-light maps\n"
    "  --warn-range <a,b>       distances that warn, for the traffic-light map\n"
    "  --unsigned-distance      color by distance only, not by side (default: signed)\n"
    "Positions and mesh files are in the data set's own coordinates.\n";

std::vector<std::string_view> viewFlags(std::vector<std::string_view> commandFlags)
{
    return concatenated(std::move(commandFlags),
                        {"--json", "--help", "--edl", "--no-edl", "--transparent", "--unsigned-distance"});
}

std::vector<std::string_view> viewValuedOptions(std::vector<std::string_view> commandOptions)
{
    return concatenated(std::move(commandOptions),
                        {"--width", "--height", "--mode", "--color-map", "--intensity-range", "--budget",
                         "--background", "--eye", "--target", "--fov", "--timeout", "--mesh", "--mesh-scale",
                         "--clip-box", "--distance-plane", "--distance-mesh", "--distance-range",
                         "--distance-color-map", "--pass-fail-range", "--warn-range", "--edl-strength",
                         "--edl-radius", "--tomographic-color", "--tomographic-contrast"});
}

std::vector<std::string> dataSetSources(Options const& options, bool several)
{
    if (!several && options.positional().size() > 1)
        throw UsageError("expects at most one data set folder");
    std::vector<std::string> sources;
    for (std::string const& source : options.positional())
        sources.push_back(sourceName(source));
    return sources;
}

ViewSession::ViewSession(Options const& options, std::vector<std::string> const& sources,
                         bool eyeDomeLightingByDefault)
    : mSources(sources)
    , mWidth(options.unsignedValue("--width", 1280))
    , mHeight(options.unsignedValue("--height", 720))
    , mBudget(options.unsignedValue("--budget", 3'000'000))
    , mTimeout(options.numberValue("--timeout", 300.0))
    , mTransparent(options.has("--transparent"))
    , mScene(Render::GroupRenderable::create("scene"))
{
    if (mBudget == 0)
        throw UsageError("--budget must be at least 1 point");
    auto mode = static_cast<Render::RenderMode>(lookUp(kRenderModes, options, "--mode", "default"));
    auto const colorMap = static_cast<Render::ColorMap>(lookUp(kColorMaps, options, "--color-map", "gray"));
    if (mode != Render::RenderMode::ColorizeByPlaneDistance)
        options.refuse({"--distance-plane"}, "--mode " + options.value("--mode").value_or("default"));
    if (!options.given("--mesh") && !options.given("--distance-mesh"))
        options.refuse({"--mesh-scale"}, "a view without --mesh or --distance-mesh");
    auto const intensityRange = intensityRangeFrom(options);
    bool const brightContours = mode == Render::RenderMode::TomographicBrightContours;
    // Bright contours on black, dark ones on white, as the modes' names say.
    mBackground = backgroundFrom(options, brightContours ? Math::Color(0, 0, 0, 255) : Math::Color(255, 255, 255, 255));
    Math::Color const tomographicColor = colorFrom(options, "--tomographic-color")
                                             .value_or(brightContours ? Math::Color(255, 255, 255, 255)
                                                                      : Math::Color(0, 0, 0, 255));
    // The library's default suits clouds of many millions of overlapping points; a view of a
    // streamed budget needs each point to show.
    double const tomographicContrast = options.numberValue("--tomographic-contrast", kTomographicContrast);
    if (!(tomographicContrast > 0.0 && tomographicContrast <= 1.0))
        throw UsageError("--tomographic-contrast must lie above 0 and at most 1");
    Render::EyeDomeLighting const lighting = eyeDomeLightingFrom(options, eyeDomeLightingByDefault);
    CameraChoice const camera = cameraChoiceFrom(options);
    ClippingChoice const clipping = clippingChoiceFrom(options);
    DistanceChoice const distances = distanceChoiceFrom(options, mode);
    std::optional<std::string> const meshFile = options.value("--mesh");
    double const meshScale = options.numberValue("--mesh-scale", 1.0);
    if (!std::isfinite(meshScale) || meshScale <= 0.0)
        throw UsageError("--mesh-scale must be a positive number");

    // Only once every option is known to be good: the sample scene takes a while to write.
    if (mSources.empty())
        mSources.push_back(ensureSampleScene().generic_string());
    std::vector<std::shared_ptr<Octree::Location>> locations;
    for (std::string const& source : mSources)
        locations.push_back(openDataSet(source));

    mRenderer.setViewport(mWidth, mHeight);
    mRenderer.setBackgroundColor(mBackground);
    mRenderer.setTomographicColor(tomographicColor);
    mRenderer.setEyeDomeLighting(lighting);
    mRenderer.setIntensityColorMap(colorMap);
    for (std::size_t i = 0; i < locations.size(); ++i) {
        auto cloud = Render::PointCloudRenderable::create(locations[i], dataSetName(mSources[i]), mBudget, 1.0);
        // The first data set's reference position is the scene's origin; the others are moved
        // into place by the difference, taken in double.
        if (i == 0)
            mFrame = DataFrame(cloud->referencePosition());
        else
            cloud->setMatrix(translation(mFrame.toScene(cloud->referencePosition())));
        mScene->add(cloud);
        mClouds.push_back(std::move(cloud));
    }
    std::shared_ptr<Render::MeshRenderable> mesh;
    if (meshFile) {
        std::filesystem::path const meshPath(*meshFile);
        mesh = Render::MeshRenderable::create(meshPath, meshScale, meshPath.filename().string());
        mesh->setMatrix(translation(mFrame.toScene(Math::Point<double, 3>(0.0, 0.0, 0.0))));
        mScene->add(mesh);
    }
    std::shared_ptr<Math::TriangleMesh<float>> distanceMesh;
    if (distances.meshFile)
        distanceMesh =
            std::make_shared<Math::TriangleMesh<float>>(readObjSurface(*distances.meshFile, meshScale, mFrame));
    mRenderer.setScene(mScene);
    if (mesh && mesh->numTriangles() == 0)
        throw std::runtime_error(fmt::format("\"{}\" is not an OBJ mesh: it has no faces", *meshFile));
    // After setScene, which passes on only part of the settings to a new scene.
    applyClipping(mRenderer, clipping, mFrame);
    applyDistances(mRenderer, distances, std::move(distanceMesh));
    Render::PointCloudRenderable& first = *mClouds.front();
    for (auto const& cloud : mClouds) {
        cloud->setTomographicContrast(static_cast<float>(tomographicContrast));
        cloud->setMaxPointSize(std::max(cloud->maxPointSize(), kMaxPointSizePerFrameHeight * static_cast<float>(mHeight)));
    }
    if (mesh)
        std::fprintf(stderr, "mesh %s: %zu triangles\n", mesh->name().c_str(), mesh->numTriangles());
    // The same intensities look the same whichever format holds them: the range comes from the
    // data, and points without colors show their intensities rather than a format's own gray.
    auto const range = intensityRange ? intensityRange : first.intensityRange();
    if (range)
        mRenderer.setIntensityColorMapRange(range->first, range->second);
    if (mode == Render::RenderMode::Default && !first.octree()->hasColors() && first.octree()->hasIntensities())
        mode = Render::RenderMode::ColorizeByIntensity;
    mRenderer.setRenderMode(mode);
    placeCamera(mRenderer, mClouds, camera, mFrame);
}

Graphics::ColorImage ViewSession::image()
{
    Graphics::ColorImage image;
    mRenderer.getColorImage(image);
    if (mTransparent)
        return image;
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::size_t x = 0; x < image.width; ++x)
            image.setPixel(x, y, composited(image.pixel(x, y), mBackground));
    return image;
}

std::size_t ViewSession::loadedPointCount() const
{
    std::size_t points = 0;
    for (auto const& cloud : mClouds)
        points += cloud->loadedPointCount();
    return points;
}

std::size_t ViewSession::loadedNodeCount() const
{
    std::size_t nodes = 0;
    for (auto const& cloud : mClouds)
        nodes += cloud->loadedNodeCount();
    return nodes;
}

bool ViewSession::isLoading() const
{
    return std::ranges::any_of(mClouds, [](auto const& cloud) { return cloud->isLoading(); });
}

std::string ViewSession::unsettledMessage() const
{
    return fmt::format("{}: loading did not settle within {:g} s", source(), mTimeout.count());
}

SettleReport ViewSession::settle()
{
    SettleReport report;
    auto const start = Clock::now();
    for (auto const& cloud : mClouds)
        cloud->startAsyncReload(std::function<void()>(), std::numeric_limits<std::size_t>::max());
    auto const deadline = start + std::chrono::duration_cast<Clock::duration>(mTimeout);
    std::optional<double> firstFrame;
    while (Clock::now() < deadline) {
        if (mRenderer.needsRedraw()) {
            mRenderer.render();
            ++report.frames;
            if (!firstFrame)
                firstFrame = std::chrono::duration<double>(Clock::now() - start).count();
            std::fprintf(stderr, "\rloading: %zu nodes, %zu points   ", loadedNodeCount(), loadedPointCount());
        } else if (!isLoading()) {
            break;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    std::fputs("\n", stderr);
    // Each failure names its file; the clouds that could be loaded are still shown.
    for (auto const& cloud : mClouds) {
        try {
            cloud->isAsyncReloadHealthy(true);
        } catch (std::exception const& error) {
            report.loadFailure += (report.loadFailure.empty() ? "" : "; ") + std::string(error.what());
        }
    }
    report.settled = !isLoading();
    report.secondsToSettled = std::chrono::duration<double>(Clock::now() - start).count();
    report.secondsToFirstFrame = firstFrame.value_or(0.0);
    mRenderer.render();
    ++report.frames;
    return report;
}

} // namespace Tools
