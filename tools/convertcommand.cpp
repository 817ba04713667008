// morvid convert: point files to Potree 2.0 data sets.
#include "commands.h"
#include "hostsupport.h"
#include "options.h"

#include "core/filereading.h"
#include "octree/lasreader.h"
#include "octree/plyreader.h"
#include "octree/potreewriter.h"
#include "octree/textpointreader.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

constexpr char kConvertUsage[] =
    "usage: morvid convert [options] <input> <output folder>\n"
    "\n"
    "Writes a Potree 2.0 data set (metadata.json, hierarchy.bin, octree.bin) from a\n"
    "point file: text (.txt, .xyz: x y z [red green blue [alpha]] per line), PLY\n"
    "(.ply, ascii or binary little-endian) or uncompressed LAS 1.0-1.4 (.las).\n"
    "\n"
    "options:\n"
    "  --encoding default|brotli   node encoding (default: default)\n"
    "  --scale <step>              quantisation step of positions (default: 0.001)\n"
    "  --max-node-points <n>       points a node holds before it splits (default: 20000)\n"
    "  --step-size <levels>        hierarchy levels per chunk (default: 4)\n"
    "  --json                      print one JSON object describing the result\n"
    "  --help                      show this help\n";

// Progress lines on stderr at every tenth.
constexpr int kProgressSteps = 10;

Octree::SourcePoints readPointFile(std::filesystem::path const& path)
{
    std::string const name = path.generic_string();
    std::string const extension = Tools::lowerCaseExtension(path);
    bool const known = extension == ".ply" || extension == ".las" || extension == ".laz" || extension == ".txt" ||
                       extension == ".xyz" || extension == ".pts" || extension == ".csv";
    if (!known)
        throw Tools::UsageError("cannot read '" + name + "': the name must end in .las, .laz, .ply, .txt, .xyz, .pts or .csv");
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        throw std::runtime_error("'" + name + "' does not exist");
    std::string const bytes = Core::readLocalFile(path);
    if (extension == ".ply")
        return Ply::readPoints(bytes, name);
    if (extension == ".las" || extension == ".laz")
        return Las::readPoints(bytes, name);
    return Octree::readTextPoints(bytes, name);
}

PoTree::WriterOptions writerOptionsFrom(Tools::Options const& options)
{
    PoTree::WriterOptions writer;
    writer.encoding = options.choiceValue("--encoding", {"default", "brotli"}, "default") == "brotli"
                          ? PoTree::Encoding::Brotli
                          : PoTree::Encoding::Default;
    if (options.given("--scale")) {
        double const scale = options.numberValue("--scale", 0.0);
        if (!(scale > 0.0) || !std::isfinite(scale))
            throw Tools::UsageError("option --scale expects a positive number");
        writer.scale = Math::Point<double, 3>::Constant(scale);
    }
    writer.maxPointsPerNode = options.unsignedValue("--max-node-points", writer.maxPointsPerNode);
    if (writer.maxPointsPerNode == 0)
        throw Tools::UsageError("option --max-node-points expects a positive whole number");
    std::size_t const stepSize = options.unsignedValue("--step-size", writer.hierarchyStepSize);
    if (stepSize > std::numeric_limits<unsigned>::max())
        throw Tools::UsageError("option --step-size is too large");
    writer.hierarchyStepSize = static_cast<unsigned>(stepSize);
    return writer;
}

} // namespace

int runConvert(std::vector<std::string_view> const& args)
{
    Tools::Options const options(args, {"--json", "--help"},
                                 {"--encoding", "--scale", "--max-node-points", "--step-size"});
    if (options.has("--help")) {
        std::fputs(kConvertUsage, stdout);
        return 0;
    }
    if (options.positional().size() != 2)
        throw Tools::UsageError("expects an input file and an output folder (see --help)");
    std::filesystem::path const input = options.positional()[0];
    std::filesystem::path const output = options.positional()[1];
    PoTree::WriterOptions const writerOptions = writerOptionsFrom(options);
    Tools::checkOutputFolder(output);

    std::fprintf(stderr, "reading %s\n", input.generic_string().c_str());
    Octree::SourcePoints const points = readPointFile(input);
    if (points.points.empty())
        throw std::runtime_error(input.generic_string() + ": the file holds no points");
    std::fprintf(stderr, "writing %zu points to %s\n", points.points.size(), output.generic_string().c_str());
    int reported = 0;
    auto const progress = [&reported](double done) {
        int const step = static_cast<int>(done * kProgressSteps);
        if (step > reported) {
            reported = step;
            std::fprintf(stderr, "%d%%\n", step * 100 / kProgressSteps);
        }
    };
    PoTree::WriteSummary summary;
    try {
        summary = PoTree::writePotree(points, output, writerOptions, progress);
    } catch (std::invalid_argument const& error) {
        throw std::runtime_error(input.generic_string() + ": " + error.what());
    }
    char const* const encoding = writerOptions.encoding == PoTree::Encoding::Brotli ? "BROTLI" : "DEFAULT";
    if (options.has("--json")) {
        nlohmann::ordered_json const result = {{"input", input.generic_string()},
                                               {"output", output.generic_string()},
                                               {"points", points.points.size()},
                                               {"nodes", summary.nodes},
                                               {"hierarchy_chunks", summary.hierarchyChunks},
                                               {"depth", summary.depth},
                                               {"encoding", encoding}};
        std::printf("%s\n", result.dump().c_str());
    } else {
        std::printf("%zu points, %zu nodes (depth %u, %zu hierarchy chunks), encoding %s, in %s\n",
                    points.points.size(), summary.nodes, summary.depth, summary.hierarchyChunks, encoding,
                    output.generic_string().c_str());
    }
    return 0;
}
