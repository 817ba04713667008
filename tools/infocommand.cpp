// morvid info: the graphics device, or what a data set holds, every node decoded.
#include "commands.h"
#include "hostsupport.h"
#include "options.h"

#include "octree/octree.h"
#include "render/renderer.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: morvid info [<data set folder or URL>] [--json]\n"
    "\n"
    "Without a folder, creates a renderer and prints the graphics adapter and Direct3D\n"
    "feature level. Given a Potree 2.0 or Entwine folder, decodes every node and prints\n"
    "the points (per level, bounds, intensity sum, classes), the nodes, the attributes,\n"
    "the scale, offset and coordinate system. Exits with 1 when a node cannot be read;\n"
    "the other nodes are still counted.\n"
    "\n"
    "options:\n"
    "  --json    print one JSON object instead of text\n"
    "  --help    show this help\n";

using Json = nlohmann::ordered_json;
using Box3d = Math::NBoundingBox<double, 3>;

Json boxJson(Box3d const& box)
{
    if (box.isEmpty())
        return nullptr;
    return {{"min", {box.min().x(), box.min().y(), box.min().z()}}, {"max", {box.max().x(), box.max().y(), box.max().z()}}};
}

Json vectorJson(Math::Point<double, 3> const& p) { return {p.x(), p.y(), p.z()}; }

// Decimal places that write `value` exactly, at most kMaxDecimals.
constexpr int kMaxDecimals = 12;
int decimalsOf(double value)
{
    for (int decimals = 0; decimals < kMaxDecimals; ++decimals) {
        double const shifted = value * std::pow(10.0, decimals);
        if (std::abs(shifted - std::round(shifted)) < 1e-6)
            return decimals;
    }
    return kMaxDecimals;
}

// The decoded box with its corners on the data set's grid written as decimals: a position
// is offset + k * scale, so it has no more decimals than these two, and the sum's rounding
// noise in the last binary digits is not shown.
Box3d onGrid(Box3d const& box, Graphics::LasFrame const& frame)
{
    if (box.isEmpty())
        return box;
    Math::Point<double, 3> min = box.min();
    Math::Point<double, 3> max = box.max();
    for (int axis = 0; axis < 3; ++axis) {
        int const decimals = std::max(decimalsOf(frame.scale[axis]), decimalsOf(frame.offset[axis]));
        auto const snap = [decimals](double value) { return std::stod(fmt::format("{:.{}f}", value, decimals)); };
        min[axis] = snap(min[axis]);
        max[axis] = snap(max[axis]);
    }
    return {min, max};
}

// An Entwine dimension's type as Potree data sets name types.
std::string entwineTypeName(Entwine::Dimension const& dimension)
{
    if (dimension.type == "float")
        return dimension.size == 4 ? "float" : "double";
    return fmt::format("{}int{}", dimension.type == "unsigned" ? "u" : "", 8 * dimension.size);
}

// What the data set's description declares: kind, box, encoding, attributes and root spacing.
Json declaredDescription(Octree::Octree const& octree)
{
    Json attributes = Json::array();
    if (PoTree::Hierarchy const* potree = octree.potreeTree()) {
        PoTree::Metadata const& metadata = potree->metadata();
        for (PoTree::Attribute const& attribute : metadata.attributes)
            attributes.push_back({{"name", attribute.name}, {"type", attribute.type}, {"size", attribute.size}});
        return {{"kind", "potree"},
                {"bounds", boxJson(metadata.boundingBox)},
                {"encoding", metadata.encoding == PoTree::Encoding::Brotli ? "BROTLI" : "DEFAULT"},
                {"attributes", attributes},
                {"spacing", metadata.spacing}};
    }
    Entwine::Description const& description = octree.entwineTree()->description();
    for (Entwine::Dimension const& dimension : description.schema)
        attributes.push_back({{"name", dimension.name}, {"type", entwineTypeName(dimension)}, {"size", dimension.size}});
    return {{"kind", "entwine"},
            {"bounds", boxJson(description.cube)},
            {"encoding", description.dataType},
            {"attributes", attributes},
            {"spacing", description.cube.size().x() / static_cast<double>(description.span)}};
}

struct Census {
    std::size_t points = 0;
    std::size_t nodes = 0;
    std::vector<std::size_t> pointsPerLevel;
    std::vector<std::size_t> nodesPerLevel;
    Box3d tightBounds;
    std::uint64_t intensitySum = 0;
    std::map<unsigned, std::size_t> classificationCounts;
    Json failedNodes = Json::array();
    double decodeSeconds = 0.0;
};

// Decodes every node breadth first, counting what it holds; a node that fails is noted and
// its children are still visited.
Census decodeEveryNode(Octree::Octree const& octree)
{
    Census census;
    auto const start = std::chrono::steady_clock::now();
    Octree::NodePointData points(Octree::PointAttributes::Position | Octree::PointAttributes::Intensity |
                                 Octree::PointAttributes::ClassIndex);
    std::vector<Octree::OctreeNodeId> pending{octree.root()};
    for (std::size_t next = 0; next < pending.size(); ++next) {
        Octree::OctreeNodeId const id = pending[next];
        std::fprintf(stderr, "\rdecoding node %zu of %zu known", next + 1, pending.size());
        unsigned const level = id.level();
        if (census.pointsPerLevel.size() <= level) {
            census.pointsPerLevel.resize(level + 1);
            census.nodesPerLevel.resize(level + 1);
        }
        ++census.nodes;
        ++census.nodesPerLevel[level];
        try {
            for (Octree::OctreeNodeId const child : octree.children(id))
                pending.push_back(child);
            octree.loadNodePointData(id, points);
        } catch (std::exception const& error) {
            census.failedNodes.push_back({{"node", id.name()}, {"error", error.what()}});
            continue;
        }
        census.points += points.size();
        census.pointsPerLevel[level] += points.size();
        for (std::size_t i = 0; i < points.size(); ++i) {
            census.tightBounds.extend(Math::Point<double, 3>(octree.position() + points.position(i)));
            census.intensitySum += points.intensity(i);
            ++census.classificationCounts[points.classIndex(i)];
        }
    }
    std::fputs("\n", stderr);
    census.decodeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return census;
}

Json describeDataSet(std::string const& source)
{
    Octree::Octree const octree(Tools::openDataSet(source), 1.0);
    Census const census = decodeEveryNode(octree);
    Json classes = Json::object();
    for (auto const& [classification, count] : census.classificationCounts)
        classes[std::to_string(classification)] = count;
    Json report = {{"input", Tools::sourceName(source)},
                   {"points", census.points},
                   {"nodes", census.nodes},
                   {"depth", census.nodesPerLevel.size() - 1},
                   {"points_per_level", census.pointsPerLevel},
                   {"nodes_per_level", census.nodesPerLevel}};
    report.update(declaredDescription(octree));
    Graphics::LasFrame const frame = Tools::dataSetFrame(octree);
    report.update(Json{{"scale", vectorJson(frame.scale)}, {"offset", vectorJson(frame.offset)}, {"crs", frame.crs}});
    report.update(Json{{"tight_bounds", boxJson(onGrid(census.tightBounds, frame))},
                       {"intensity_sum", census.intensitySum},
                       {"classification_counts", classes},
                       {"failed_nodes", census.failedNodes},
                       {"decode_seconds", census.decodeSeconds}});
    return report;
}

std::string numbers(Json const& values)
{
    std::string text;
    for (Json const& value : values)
        text += (text.empty() ? "" : " ") + (value.is_number_float() ? fmt::format("{:.10g}", value.get<double>())
                                                                       : value.dump());
    return text;
}

void printDataSet(Json const& report)
{
    auto const box = [](Json const& value) {
        return value.is_null() ? std::string("none")
                               : numbers(value["min"]) + "  to  " + numbers(value["max"]);
    };
    std::printf("data set:        %s (%s, %s)\n", report["input"].get<std::string>().c_str(),
                report["kind"].get<std::string>().c_str(), report["encoding"].get<std::string>().c_str());
    std::printf("points:          %s in %s nodes, %s levels\n", report["points"].dump().c_str(),
                report["nodes"].dump().c_str(), std::to_string(report["depth"].get<std::size_t>() + 1).c_str());
    std::printf("points by level: %s\n", numbers(report["points_per_level"]).c_str());
    std::printf("nodes by level:  %s\n", numbers(report["nodes_per_level"]).c_str());
    std::printf("bounds:          %s\n", box(report["bounds"]).c_str());
    std::printf("tight bounds:    %s\n", box(report["tight_bounds"]).c_str());
    std::printf("scale:           %s\n", numbers(report["scale"]).c_str());
    std::printf("offset:          %s\n", numbers(report["offset"]).c_str());
    std::string const crs = report["crs"].get<std::string>();
    std::printf("crs:             %s\n", crs.empty() ? "none" : crs.c_str());
    std::printf("intensity sum:   %s\n", report["intensity_sum"].dump().c_str());
    std::string classes;
    for (auto const& [classification, count] : report["classification_counts"].items())
        classes += (classes.empty() ? "" : ", ") + classification + ": " + count.dump();
    std::printf("classes:         %s\n", classes.c_str());
    std::printf("attributes:\n");
    for (Json const& attribute : report["attributes"])
        std::printf("  %-32s %-8s %s bytes\n", attribute["name"].get<std::string>().c_str(),
                    attribute["type"].get<std::string>().c_str(), attribute["size"].dump().c_str());
    std::printf("decoded in:      %.2f s\n", report["decode_seconds"].get<double>());
}

} // namespace

int runInfo(std::vector<std::string_view> const& args)
{
    Tools::Options const options(args, {"--json", "--help"}, {});
    if (options.has("--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.positional().size() > 1)
        throw Tools::UsageError("expects at most one data set folder");

    if (options.positional().empty()) {
        Render::Renderer const renderer;
        Json const report{{"adapter", Tools::adapterName(renderer)}, {"feature_level", Tools::featureLevelName(renderer)}};
        if (options.has("--json"))
            std::printf("%s\n", report.dump().c_str());
        else
            std::printf("adapter: %s\nfeature level: %s\n", report["adapter"].get<std::string>().c_str(),
                        report["feature_level"].get<std::string>().c_str());
        return 0;
    }

    std::string const folder = options.positional().front();
    Json const report = describeDataSet(folder);
    if (options.has("--json"))
        std::printf("%s\n", report.dump().c_str());
    else
        printDataSet(report);
    Json const& failed = report["failed_nodes"];
    if (failed.empty())
        return 0;
    for (Json const& node : failed)
        std::fprintf(stderr, "morvid info: node %s: %s\n", node["node"].get<std::string>().c_str(),
                     node["error"].get<std::string>().c_str());
    return 1;
}
