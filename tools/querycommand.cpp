// morvid query: the points of a data set inside a box, down to a level or a point spacing.
#include "commands.h"
#include "failure.h"
#include "hostsupport.h"
#include "dataframe.h"
#include "options.h"

#include "graphics/laspointwriter.h"
#include "graphics/plypointwriter.h"
#include "graphics/textpointwriter.h"
#include "octree/octree.h"
#include "render/pointcloudquery.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: morvid query <data set folder or URL> [options]\n"
    "\n"
    "Walks a Potree 2.0 or Entwine octree breadth first, coarse to fine, and prints how many points\n"
    "it returns, their bounds and the nodes read per level, showing progress on standard error.\n"
    "Positions, typed or written, are in the data set's own coordinates.\n"
    "\n"
    "options:\n"
    "  --box minx,miny,minz,maxx,maxy,maxz   keep only the points inside this box\n"
    "  --max-level <n>          deepest octree level to visit (default: all)\n"
    "  --min-spacing <s>        skip nodes whose point spacing is not larger than this (default 0)\n"
    "  --time-limit <seconds>   stop once this much time has passed (default: none)\n"
    "  -o, --output <file>      write the points: .las (with the data set's scale, offset and\n"
    "                           coordinate system), .ply (binary little-endian) or .txt (text)\n"
    "  --json                   print one JSON object instead of text\n"
    "  --help                   show this help\n";

constexpr std::size_t kChunkSize = 65536;
constexpr auto kProgressInterval = std::chrono::milliseconds(250);
constexpr std::size_t kBoxNumbers = 6;

using Box3f = Math::NBoundingBox<float, 3>;
using Point3f = Math::Point<float, 3>;

// Keeps the points of an axis-aligned box, faces included.
class BoxFilter : public Render::IFilter {
public:
    explicit BoxFilter(Box3f box) : mBox(box) {}

    bool testPosition(Point3f const& point) const override { return mBox.contains(point); }

    Octree::BoxTestResult testBox(Box3f const& box) const override
    {
        if (!mBox.intersects(box))
            return Octree::BoxTestResult::Outside;
        if (mBox.contains(box.min()) && mBox.contains(box.max()))
            return Octree::BoxTestResult::Inside;
        return Octree::BoxTestResult::Intersecting;
    }

private:
    Box3f mBox;
};

// The --box of the data set's coordinates, checked before anything is read.
std::optional<Math::NBoundingBox<double, 3>> boxOption(Tools::Options const& options)
{
    auto const numbers = options.numberListValue("--box", kBoxNumbers, "six numbers as minx,miny,minz,maxx,maxy,maxz");
    if (!numbers)
        return std::nullopt;
    auto const& n = *numbers;
    Math::NBoundingBox<double, 3> const box(Math::Point<double, 3>(n[0], n[1], n[2]),
                                            Math::Point<double, 3>(n[3], n[4], n[5]));
    if (!box.min().allFinite() || !box.max().allFinite() || box.isEmpty())
        throw Tools::UsageError("option --box expects finite minimums not above their maximums");
    return box;
}

std::chrono::nanoseconds timeLimitOption(Tools::Options const& options)
{
    double const seconds = options.numberValue("--time-limit", std::numeric_limits<double>::infinity());
    if (std::isnan(seconds) || seconds < 0.0)
        throw Tools::UsageError("option --time-limit expects a number of seconds, 0 or more");
    std::chrono::duration<double> const limit(seconds);
    if (limit >= std::chrono::nanoseconds::max())
        return std::chrono::nanoseconds::max();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(limit);
}

using PointWriter =
    std::variant<std::monostate, Graphics::PlyPointWriter, Graphics::TextPointWriter, Graphics::LasPointWriter>;

// The writer for a file that checkOutputFile accepted; LAS files keep the data set's grid and
// coordinate system, PLY and text files get positions in the data set's coordinates in double.
void openWriter(PointWriter& writer, std::filesystem::path const& path, Octree::Octree const& octree)
{
    std::string const extension = Tools::lowerCaseExtension(path);
    if (extension == ".ply")
        writer.emplace<Graphics::PlyPointWriter>(path, octree.position());
    else if (extension == ".las")
        writer.emplace<Graphics::LasPointWriter>(path, Tools::dataSetFrame(octree), octree.position());
    else
        writer.emplace<Graphics::TextPointWriter>(path, octree.position());
}

// "outer: inner: ..." for an exception and the ones nested in it.
std::string messageChain(std::exception const& error)
{
    std::string message = error.what();
    try {
        std::rethrow_if_nested(error);
    } catch (std::exception const& cause) {
        message += ": " + messageChain(cause);
    }
    return message;
}

struct QueryResult {
    std::size_t points = 0;
    Box3f bounds;
    std::vector<std::size_t> nodesPerLevel;
    std::size_t unreadableNodes = 0;
    bool complete = false;
};

QueryResult runQuery(Render::PointCloudQuery& query, std::chrono::steady_clock::time_point deadline,
                     PointWriter& writer, std::string const& folder)
{
    QueryResult result;
    std::vector<Render::VertexPosColor> chunk(kChunkSize);
    std::chrono::steady_clock::time_point lastProgress;
    while (!query.isExhausted()) {
        if (std::chrono::steady_clock::now() - lastProgress > kProgressInterval) {
            lastProgress = std::chrono::steady_clock::now();
            std::size_t nodes = 0;
            for (std::size_t count : query.loadedNodesPerLevel())
                nodes += count;
            std::fprintf(stderr, "\rquerying: %zu nodes, %zu points   ", nodes, result.points);
        }
        std::size_t count = 0;
        try {
            count = query.getNextPointChunk(chunk.data(), chunk.size());
        } catch (std::runtime_error const& error) {
            ++result.unreadableNodes;
            std::fprintf(stderr, "morvid query: %s: %s\n", folder.c_str(), messageChain(error).c_str());
            continue;
        }
        std::span<Render::VertexPosColor const> const points(chunk.data(), count);
        for (auto const& point : points)
            result.bounds.extend(point.position());
        std::visit(
            [&](auto& open) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(open)>, std::monostate>)
                    open.append(points);
            },
            writer);
        result.points += count;
        // A short chunk past the deadline: the query stops there. (Short chunks also come before a
        // node that failed to load, which the next call reports.)
        if (count < chunk.size() && std::chrono::steady_clock::now() > deadline)
            break;
    }
    result.complete = query.isExhausted() && result.unreadableNodes == 0;
    result.nodesPerLevel = query.loadedNodesPerLevel();
    std::fprintf(stderr, "\rquerying: done, %zu points            \n", result.points);
    return result;
}

nlohmann::json boundsJson(Box3f const& box, Tools::DataFrame const& frame)
{
    if (box.isEmpty())
        return nullptr;
    Math::Point<double, 3> const min = frame.toData(box.min());
    Math::Point<double, 3> const max = frame.toData(box.max());
    return {{"min", {min.x(), min.y(), min.z()}}, {"max", {max.x(), max.y(), max.z()}}};
}

} // namespace

int runQuery(std::vector<std::string_view> const& args)
{
    Tools::Options const options(args, {"--json", "--help"},
                                 {"--box", "--max-level", "--min-spacing", "--time-limit", "--output"});
    if (options.has("--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.positional().size() != 1)
        throw Tools::UsageError("expects one data set folder");
    auto const box = boxOption(options);
    std::size_t const maxLevel = options.unsignedValue("--max-level", std::numeric_limits<std::size_t>::max());
    float const minSpacing = static_cast<float>(options.numberValue("--min-spacing", 0.0));
    auto const timeLimit = timeLimitOption(options);
    auto const outputOption = options.value("--output");
    std::string const folder = options.positional().front();
    if (outputOption)
        Tools::checkOutputFile(*outputOption, {".las", ".ply", ".txt"});

    auto octree = std::make_shared<Octree::Octree>(Tools::openDataSet(folder), 1.0);
    // The query hands out positions relative to the data set's reference position.
    Tools::DataFrame const frame(octree->position());
    PointWriter writer;
    if (outputOption)
        openWriter(writer, *outputOption, *octree);
    std::optional<BoxFilter> filter;
    if (box)
        filter.emplace(Box3f(frame.toScene(box->min()), frame.toScene(box->max())));

    auto const start = std::chrono::steady_clock::now();
    auto const deadline = Octree::deadlineAfter(timeLimit);
    Render::PointCloudQuery query(octree, {}, Eigen::Matrix4f::Identity(), filter ? &*filter : nullptr, maxLevel,
                                  minSpacing, timeLimit);
    QueryResult const result = runQuery(query, deadline, writer, folder);
    std::visit(
        [](auto& open) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(open)>, std::monostate>)
                open.close();
        },
        writer);
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    auto const& position = octree->position();
    nlohmann::json const json{
        {"input", folder},
        {"points", result.points},
        {"bounds", boundsJson(result.bounds, frame)},
        {"reference_position", {position.x(), position.y(), position.z()}},
        {"nodes_per_level", result.nodesPerLevel},
        {"levels_visited", result.nodesPerLevel.size()},
        {"complete", result.complete},
        {"unreadable_nodes", result.unreadableNodes},
        {"seconds", seconds},
        {"output", outputOption ? nlohmann::json(*outputOption) : nlohmann::json(nullptr)},
    };
    if (!options.has("--json")) {
        char const* const incomplete = result.unreadableNodes ? " (incomplete: unreadable nodes)"
                                       : result.complete      ? ""
                                                              : " (stopped by the time limit)";
        std::printf("%zu points in %.2f s%s\n", result.points, seconds, incomplete);
        if (!result.bounds.isEmpty()) {
            Math::Point<double, 3> const min = frame.toData(result.bounds.min());
            Math::Point<double, 3> const max = frame.toData(result.bounds.max());
            std::printf("bounds: %.10g,%.10g,%.10g to %.10g,%.10g,%.10g\n", min.x(), min.y(), min.z(), max.x(),
                        max.y(), max.z());
        }
        std::printf("nodes per level:");
        for (std::size_t nodes : result.nodesPerLevel)
            std::printf(" %zu", nodes);
        std::printf("\n");
        if (outputOption)
            std::printf("wrote %s\n", outputOption->c_str());
    }
    if (result.unreadableNodes > 0)
        throw Tools::Failure(fmt::format("{}: unreadable nodes: {}; their points are missing", folder,
                                         result.unreadableNodes),
                             json);
    if (options.has("--json"))
        std::printf("%s\n", json.dump().c_str());
    return 0;
}
