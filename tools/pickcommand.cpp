// morvid pick: streams a data set like morvid render, then picks the point or plane under a pixel.
#include "commands.h"
#include "options.h"
#include "viewsession.h"

#include "math/nplane.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

constexpr char kUsage[] =
    "usage: morvid pick [<data set folder or URL>] --pixel <x,y> [options]\n"
    "\n"
    "Streams a Potree 2.0 or Entwine data set like 'morvid render', waits until\n"
    "loading has settled and prints the position drawn under a pixel of the frame\n"
    "(column x from the left, row y from the top) in the data set's own coordinates.\n"
    "Exits with 1 when nothing was drawn there. Without a folder it uses the bundled\n"
    "sample scene.\n"
    "\n"
    "options:\n"
    "  --pixel <x,y>            the pixel to pick (required)\n"
    "  --tolerance <pixels>     take the point nearest the camera within this many pixels\n"
    "                           (default: 0, the pixel itself; 10 with --plane)\n"
    "  --plane                  fit a plane to the points around the pixel and print it with\n"
    "                           the point where the view ray through the pixel meets it\n"
    "  --inlier-distance <d>    largest distance of a point from the plane, in world units\n"
    "                           (default: 0.05)\n";

constexpr char kUsageTail[] =
    "  --json                   print one JSON object with the result\n"
    "  --help                   show this help\n";

constexpr std::uint64_t kDefaultPlaneTolerance = 10;
constexpr double kDefaultInlierDistance = 0.05;

struct Pixel {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
};

Pixel pixelFrom(Tools::Options const& options, std::size_t width, std::size_t height)
{
    auto const values = options.numberListValue("--pixel", 2, "two whole numbers as x,y");
    if (!values)
        throw Tools::UsageError("--pixel <x,y> is required");
    double const x = (*values)[0];
    double const y = (*values)[1];
    if (!(x >= 0.0 && y >= 0.0 && x < static_cast<double>(width) && y < static_cast<double>(height))
        || x != std::floor(x) || y != std::floor(y))
        throw Tools::UsageError(
            fmt::format("--pixel must be whole numbers within the {} x {} image, not {},{}", width, height, x, y));
    return {static_cast<std::uint64_t>(x), static_cast<std::uint64_t>(y)};
}

template <class Vector>
nlohmann::json toJson(Vector const& point)
{
    return {point.x(), point.y(), point.z()};
}

} // namespace

int runPick(std::vector<std::string_view> const& args)
{
    Tools::Options const options(args, Tools::viewFlags({"--plane"}),
                                 Tools::viewValuedOptions({"--pixel", "--tolerance", "--inlier-distance"}));
    if (options.has("--help")) {
        std::printf("%s%s%s", kUsage, Tools::kViewOptionsHelp, kUsageTail);
        return 0;
    }
    bool const pickPlane = options.has("--plane");
    if (!pickPlane)
        options.refuse({"--inlier-distance"}, "a point pick (without --plane)");
    std::uint64_t const tolerance = options.unsignedValue("--tolerance", pickPlane ? kDefaultPlaneTolerance : 0);
    if (pickPlane && tolerance == 0)
        throw Tools::UsageError("--plane needs a --tolerance of at least 1");
    double const inlierDistance = options.numberValue("--inlier-distance", kDefaultInlierDistance);
    if (!(inlierDistance > 0.0) || !std::isfinite(inlierDistance))
        throw Tools::UsageError("--inlier-distance must be a positive number");

    Tools::ViewSession session(options, Tools::dataSetSources(options, false));
    Pixel const pixel = pixelFrom(options, session.width(), session.height());
    Tools::SettleReport const report = session.settle();
    if (!report.loadFailure.empty())
        throw std::runtime_error(report.loadFailure);
    if (!report.settled)
        throw std::runtime_error(session.unsettledMessage());

    Render::Renderer& renderer = session.renderer();
    Math::Point<float, 3> point;
    Math::NPlane<float, 3> plane;
    bool const hit = pickPlane ? renderer.pickPlane(pixel.x, pixel.y, tolerance, plane, point, inlierDistance)
                     : tolerance == 0 ? renderer.pickPoint(pixel.x, pixel.y, point)
                                      : renderer.pickClosestPointWithTolerance(pixel.x, pixel.y, tolerance, point);
    if (!hit)
        throw std::runtime_error(fmt::format("{}: no {} under pixel {},{} within {} pixels",
                                             session.source(), pickPlane ? "plane" : "point", pixel.x,
                                             pixel.y, tolerance));

    // The picked point's distance to the distance mesh and plane, as the deviation colors show it.
    std::uint64_t const distanceTolerance = std::max<std::uint64_t>(tolerance, 1);
    Math::Point<float, 3> measured;
    float meshDistance = 0.0f;
    bool const hasMeshDistance = renderer.hasMeshForDistanceColorization() &&
        renderer.pickPointWithDistanceToColorizationMesh(pixel.x, pixel.y, distanceTolerance, measured, meshDistance);
    float planeDistance = 0.0f;
    bool const hasPlaneDistance = options.value("--distance-plane") &&
        renderer.pickPointWithDistanceToColorizationPlane(pixel.x, pixel.y, distanceTolerance, measured, planeDistance);
    Tools::DataFrame const& frame = session.frame();
    Math::Point<double, 3> const dataPoint = frame.toData(point);
    double const dataD = frame.planeOffsetToData(plane);
    if (options.has("--json")) {
        nlohmann::json json{
            {"input", session.source()},
            {"pixel", {pixel.x, pixel.y}},
            {"tolerance", tolerance},
            {"point", toJson(dataPoint)},
            {"scene", {{"origin", toJson(frame.origin())}, {"point", toJson(point)}}},
        };
        if (pickPlane) {
            json["plane"] = {{"normal", toJson(plane.normal())}, {"d", dataD}, {"inlier_distance", inlierDistance}};
            json["scene"]["plane_d"] = plane.d();
        }
        if (hasMeshDistance)
            json["mesh_distance"] = meshDistance;
        if (hasPlaneDistance)
            json["plane_distance"] = planeDistance;
        std::printf("%s\n", json.dump().c_str());
    } else {
        std::printf("point %.17g %.17g %.17g\n", dataPoint.x(), dataPoint.y(), dataPoint.z());
        if (pickPlane)
            std::printf("plane normal %.9g %.9g %.9g d %.17g\n", plane.normal().x(), plane.normal().y(),
                        plane.normal().z(), dataD);
        if (hasMeshDistance)
            std::printf("distance to the mesh %.9g\n", meshDistance);
        if (hasPlaneDistance)
            std::printf("distance to the plane %.9g\n", planeDistance);
    }
    return 0;
}
