// morvid export: streams a data set until it settles and exports the frame as image and points.
#include "commands.h"
#include "failure.h"
#include "hostsupport.h"
#include "options.h"
#include "viewsession.h"

#include "graphics/plypointwriter.h"
#include "graphics/textpointwriter.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: morvid export [<data set folder or URL>] [options]\n"
    "\n"
    "Streams a Potree 2.0 or Entwine data set like 'morvid render', waits until\n"
    "loading has settled and exports the frame: the image, and the points it shows\n"
    "(one a pixel, with its position in the data set's own coordinates and its final\n"
    "color). Without a folder it uses the bundled sample scene. At least one output\n"
    "is required.\n"
    "\n"
    "options:\n"
    "  --png <file.png>         the image as PNG\n"
    "  --ply <file.ply>         the points as binary little-endian PLY, positions as double\n"
    "  --points <file.txt>      the points as text: X Y Z Red Green Blue Alpha\n";

// The points carry the colors as drawn either way; the shading would only change the image.
constexpr bool kEyeDomeLightingByDefault = false;

constexpr char kUsageTail[] =
    "  --json                   print one JSON object describing the run\n"
    "  --help                   show this help\n";

std::optional<std::filesystem::path> pathOption(Tools::Options const& options, std::string_view name)
{
    auto const text = options.value(name);
    return text ? std::optional<std::filesystem::path>(*text) : std::nullopt;
}

template <class Writer>
void writePoints(std::vector<Render::VertexPosColor> const& points, std::filesystem::path const& path,
                 Tools::DataFrame const& frame)
{
    Writer writer(path, frame.origin());
    writer.append(points);
    writer.close();
}

} // namespace

int runExport(std::vector<std::string_view> const& args)
{
    Tools::Options const options(args, Tools::viewFlags({}), Tools::viewValuedOptions({"--png", "--ply", "--points"}));
    if (options.has("--help")) {
        std::printf("%s%s%s%s", kUsage, Tools::kViewOptionsHelp,
                    Tools::eyeDomeLightingHelp(kEyeDomeLightingByDefault).c_str(), kUsageTail);
        return 0;
    }
    auto const png = pathOption(options, "--png");
    auto const ply = pathOption(options, "--ply");
    auto const text = pathOption(options, "--points");
    if (!png && !ply && !text)
        throw Tools::UsageError("expects at least one of --png, --ply and --points");
    if (png)
        Tools::checkOutputFile(*png, {".png"});
    if (ply)
        Tools::checkOutputFile(*ply, {".ply"});
    if (text)
        Tools::checkOutputFile(*text, {".txt"});

    Tools::ViewSession session(options, Tools::dataSetSources(options, false), kEyeDomeLightingByDefault);
    Tools::SettleReport const report = session.settle();
    Render::Renderer& renderer = session.renderer();
    std::vector<Render::VertexPosColor> points;
    renderer.getPoints(points, true);
    nlohmann::json outputs = nlohmann::json::object();
    if (ply) {
        writePoints<Graphics::PlyPointWriter>(points, *ply, session.frame());
        outputs["ply"] = ply->generic_string();
    }
    if (png) {
        session.image().writePng(*png);
        outputs["png"] = png->generic_string();
    }
    if (text) {
        writePoints<Graphics::TextPointWriter>(points, *text, session.frame());
        outputs["points"] = text->generic_string();
    }
    std::size_t const pointCount = points.size();

    nlohmann::json const result{
        {"input", session.source()},
        {"outputs", outputs},
        {"width", session.width()},
        {"height", session.height()},
        {"points_exported", pointCount},
        {"origin", {session.frame().origin().x(), session.frame().origin().y(), session.frame().origin().z()}},
        {"points_loaded", session.cloud().loadedPointCount()},
        {"frames", report.frames},
        {"seconds_to_settled", report.secondsToSettled},
        {"settled", report.settled},
    };
    if (!options.has("--json")) {
        for (auto const& [kind, path] : outputs.items())
            std::printf("wrote %s\n", path.get<std::string>().c_str());
        std::printf("%zu x %zu frame showing %zu points (%zu loaded) after %.1f s\n", session.width(),
                    session.height(), pointCount, session.cloud().loadedPointCount(), report.secondsToSettled);
    }
    if (!report.loadFailure.empty())
        throw Tools::Failure(report.loadFailure, result);
    if (!report.settled)
        throw Tools::Failure(session.unsettledMessage(), result);
    if (options.has("--json"))
        std::printf("%s\n", result.dump().c_str());
    return 0;
}
