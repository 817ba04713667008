// morvid render: streams a point cloud through the library and writes the settled frame as PNG.
#include "commands.h"
#include "hostsupport.h"
#include "failure.h"
#include "options.h"
#include "viewsession.h"

#include "graphics/colorimage.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

constexpr char kUsage[] =
    "usage: morvid render [<data set folder or URL>...] [options]\n"
    "\n"
    "Streams Potree 2.0 or Entwine data sets within one shared point budget, waits\n"
    "until loading has settled and writes the frame as PNG. Several data sets are\n"
    "drawn together in the first one's coordinates. Without a folder it renders the\n"
    "bundled sample scene (about 2.4 million points, written on first use).\n"
    "\n"
    "options:\n"
    "  -o, --output <file.png>  image to write (default: morvid.png)\n";

constexpr bool kEyeDomeLightingByDefault = true;

constexpr char kUsageTail[] =
    "  --json                   print one JSON object describing the run\n"
    "  --help                   show this help\n";

} // namespace

int runRender(std::vector<std::string_view> const& args)
{
    Tools::Options const options(args, Tools::viewFlags({}), Tools::viewValuedOptions({"--output"}));
    if (options.has("--help")) {
        std::printf("%s%s%s%s", kUsage, Tools::kViewOptionsHelp,
                    Tools::eyeDomeLightingHelp(kEyeDomeLightingByDefault).c_str(), kUsageTail);
        return 0;
    }
    std::filesystem::path const output = options.value("--output").value_or("morvid.png");
    Tools::checkOutputFile(output, {".png"});

    Tools::ViewSession session(options, Tools::dataSetSources(options, true), kEyeDomeLightingByDefault);
    Tools::SettleReport const report = session.settle();
    Graphics::ColorImage const image = session.image();
    image.writePng(output);

    nlohmann::json clouds = nlohmann::json::array();
    for (std::size_t i = 0; i < session.clouds().size(); ++i)
        clouds.push_back({{"input", session.sources()[i]},
                          {"points_loaded", session.clouds()[i]->loadedPointCount()},
                          {"nodes_loaded", session.clouds()[i]->loadedNodeCount()}});
    Render::Renderer const& renderer = session.renderer();
    Tools::ImageSummary const summary = Tools::summarize(image, session.background());
    Core::HttpStatistics const transfer = Tools::httpStatistics();
    nlohmann::json const result{
        {"input", session.source()},
        {"clouds", clouds},
        {"output", output.generic_string()},
        {"adapter", Tools::adapterName(session.renderer())},
        {"width", session.width()},
        {"height", session.height()},
        {"points_loaded", session.loadedPointCount()},
        {"nodes_loaded", session.loadedNodeCount()},
        {"point_budget", session.pointBudget()},
        {"frames", report.frames},
        {"seconds_to_first_frame", report.secondsToFirstFrame},
        {"seconds_to_settled", report.secondsToSettled},
        {"settled", report.settled},
        {"intensity_range", {renderer.minIntensity(), renderer.maxIntensity()}},
        {"edl", renderer.eyeDomeLightingEnabled()},
        {"coverage", summary.coverage},
        {"distinct_colors", summary.distinctColors},
        {"requests", transfer.requests},
        {"bytes_fetched", transfer.bytesFetched},
    };
    if (!options.has("--json"))
        std::printf("wrote %s: %zu x %zu, %zu points in %zu nodes (budget %zu), %zu frames in %.1f s\n",
                    output.generic_string().c_str(), session.width(), session.height(), session.loadedPointCount(),
                    session.loadedNodeCount(), session.pointBudget(), report.frames, report.secondsToSettled);
    if (!report.loadFailure.empty())
        throw Tools::Failure(report.loadFailure, result);
    if (!report.settled)
        throw Tools::Failure(session.unsettledMessage(), result);
    if (options.has("--json"))
        std::printf("%s\n", result.dump().c_str());
    return 0;
}
