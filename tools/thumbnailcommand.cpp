// morvid thumbnail: renders a data set once, offscreen, into a small PNG picture.
#include "commands.h"
#include "hostsupport.h"
#include "options.h"
#include "viewsession.h"

#include "octree/octreenodeid.h"
#include "render/thumbnail.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

constexpr std::size_t kDefaultSize = 256;
constexpr bool kEyeDomeLightingByDefault = true;

constexpr char kUsage[] =
    "usage: morvid thumbnail <data set folder or URL> [options]\n"
    "\n"
    "Loads a Potree 2.0 or Entwine data set down to a level, renders the whole of it\n"
    "once, seen obliquely from above a corner, and writes the picture as PNG.\n"
    "\n"
    "options:\n"
    "  -o, --output <file.png>  picture to write (default: thumbnail.png in the current\n"
    "                           folder)\n"
    "  --width <pixels>         picture width (default: 256)\n"
    "  --height <pixels>        picture height (default: 256)\n"
    "  --background <r,g,b>     background color, 0-255 each (default: 255,255,255)\n"
    "  --max-level <level>      deepest octree level loaded (default: 21, all)\n";

constexpr char kUsageTail[] =
    "  --json                   print one JSON object describing the run\n"
    "  --help                   show this help\n";

} // namespace

int runThumbnail(std::vector<std::string_view> const& args)
{
    Tools::Options const options(args, {"--json", "--help", "--edl", "--no-edl"},
                                 {"--output", "--width", "--height", "--background", "--max-level", "--edl-strength",
                                  "--edl-radius"});
    if (options.has("--help")) {
        std::printf("%s%s%s", kUsage, Tools::eyeDomeLightingHelp(kEyeDomeLightingByDefault).c_str(), kUsageTail);
        return 0;
    }
    if (options.positional().size() != 1)
        throw Tools::UsageError("expects one data set folder");
    std::string const source = options.positional().front();
    std::filesystem::path const output = options.value("--output").value_or(Render::kThumbnailFileName);
    Tools::checkOutputFile(output, {".png"});
    std::size_t const width = options.unsignedValue("--width", kDefaultSize);
    std::size_t const height = options.unsignedValue("--height", kDefaultSize);
    if (width == 0 || height == 0)
        throw Tools::UsageError("--width and --height must be at least 1");
    std::size_t const maxLevel = options.unsignedValue("--max-level", Octree::OctreeNodeId::kMaxLevel);
    Math::Color const background = Tools::backgroundFrom(options);
    Render::EyeDomeLighting const lighting = Tools::eyeDomeLightingFrom(options, kEyeDomeLightingByDefault);

    auto const start = std::chrono::steady_clock::now();
    Render::createThumbnail(Tools::openDataSet(source), output, width, height, background, maxLevel, lighting);
    std::chrono::duration<double> const seconds = std::chrono::steady_clock::now() - start;

    if (options.has("--json")) {
        nlohmann::json const json{
            {"input", Tools::sourceName(source)}, {"output", output.generic_string()}, {"width", width},
            {"height", height},                 {"max_level", maxLevel},             {"seconds", seconds.count()},
            {"edl", lighting.enabled},
        };
        std::printf("%s\n", json.dump().c_str());
    } else {
        std::printf("wrote %s: %zu x %zu in %.1f s\n", output.generic_string().c_str(), width, height, seconds.count());
    }
    return 0;
}
