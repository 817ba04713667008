// morvid convert: point files to Potree 2.0 data sets.
#include "commands.h"

#include "core/filereading.h"
#include "octree/lasreader.h"
#include "octree/plyreader.h"
#include "octree/potreewriter.h"
#include "octree/textpointreader.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
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

struct ConvertArguments {
    std::filesystem::path input;
    std::filesystem::path output;
    PoTree::WriterOptions options;
    bool json = false;
};

Octree::SourcePoints readPointFile(std::filesystem::path const& path)
{
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string const bytes = Core::readLocalFile(path);
    std::string const name = path.string();
    if (extension == ".ply")
        return Ply::readPoints(bytes, name);
    if (extension == ".las" || extension == ".laz")
        return Las::readPoints(bytes, name);
    if (extension == ".txt" || extension == ".xyz" || extension == ".pts" || extension == ".csv")
        return Octree::readTextPoints(bytes, name);
    throw std::runtime_error(name + ": unknown point file type '" + extension + "' (expected .txt, .xyz, .ply or .las)");
}

template <class T>
std::optional<T> parseNumber(std::string_view text)
{
    T value{};
    auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Nothing when the arguments are wrong; the reason is printed.
std::optional<ConvertArguments> parseArguments(std::vector<std::string_view> const& args, bool& helpShown)
{
    ConvertArguments parsed;
    std::vector<std::string_view> positional;
    auto fail = [](std::string const& message) -> std::optional<ConvertArguments> {
        std::fprintf(stderr, "morvid convert: %s\n", message.c_str());
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view const arg = args[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (arg == "--help") {
            std::fputs(kConvertUsage, stdout);
            helpShown = true;
            return std::nullopt;
        }
        if (arg == "--json") {
            parsed.json = true;
        } else if (arg == "--encoding") {
            auto const text = value();
            if (text == "default")
                parsed.options.encoding = PoTree::Encoding::Default;
            else if (text == "brotli")
                parsed.options.encoding = PoTree::Encoding::Brotli;
            else
                return fail("--encoding takes 'default' or 'brotli'");
        } else if (arg == "--scale") {
            auto const text = value();
            auto const scale = text ? parseNumber<double>(*text) : std::nullopt;
            if (!scale || !(*scale > 0.0))
                return fail("--scale takes a positive number");
            parsed.options.scale = Math::Point<double, 3>::Constant(*scale);
        } else if (arg == "--max-node-points") {
            auto const text = value();
            auto const count = text ? parseNumber<std::size_t>(*text) : std::nullopt;
            if (!count || *count == 0)
                return fail("--max-node-points takes a positive integer");
            parsed.options.maxPointsPerNode = *count;
        } else if (arg == "--step-size") {
            auto const text = value();
            auto const levels = text ? parseNumber<unsigned>(*text) : std::nullopt;
            if (!levels)
                return fail("--step-size takes a non-negative integer");
            parsed.options.hierarchyStepSize = *levels;
        } else if (arg.starts_with("--")) {
            return fail("unknown option '" + std::string(arg) + "'");
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2)
        return fail("expected an input file and an output folder (see --help)");
    parsed.input = std::filesystem::path(std::string(positional[0]));
    parsed.output = std::filesystem::path(std::string(positional[1]));
    return parsed;
}

} // namespace

int runConvert(std::vector<std::string_view> const& args)
{
    bool helpShown = false;
    std::optional<ConvertArguments> const parsed = parseArguments(args, helpShown);
    if (!parsed)
        return helpShown ? 0 : 2;

    try {
        std::fprintf(stderr, "reading %s\n", parsed->input.string().c_str());
        Octree::SourcePoints const points = readPointFile(parsed->input);
        if (points.points.empty())
            throw std::runtime_error(parsed->input.string() + ": the file holds no points");
        std::fprintf(stderr, "writing %zu points to %s\n", points.points.size(), parsed->output.string().c_str());
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
            summary = PoTree::writePotree(points, parsed->output, parsed->options, progress);
        } catch (std::invalid_argument const& error) {
            throw std::runtime_error(parsed->input.string() + ": " + error.what());
        }
        char const* const encoding = parsed->options.encoding == PoTree::Encoding::Brotli ? "BROTLI" : "DEFAULT";
        if (parsed->json) {
            nlohmann::ordered_json const result = {{"input", parsed->input.generic_string()},
                                                   {"output", parsed->output.generic_string()},
                                                   {"points", points.points.size()},
                                                   {"nodes", summary.nodes},
                                                   {"hierarchy_chunks", summary.hierarchyChunks},
                                                   {"depth", summary.depth},
                                                   {"encoding", encoding}};
            std::printf("%s\n", result.dump().c_str());
        } else {
            std::printf("%zu points, %zu nodes (depth %u, %zu hierarchy chunks), encoding %s, in %s\n",
                        points.points.size(), summary.nodes, summary.depth, summary.hierarchyChunks, encoding,
                        parsed->output.string().c_str());
        }
        return 0;
    } catch (std::exception const& error) {
        std::fprintf(stderr, "morvid convert: %s\n", error.what());
        return 1;
    }
}
