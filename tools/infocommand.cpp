// morvid info: the graphics device and, given a folder, what a data set holds.
#include "commands.h"
#include "hostsupport.h"
#include "options.h"

#include "octree/octree.h"
#include "render/renderer.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: morvid info [<data set folder>] [--json]\n"
    "\n"
    "Creates a renderer and prints the graphics adapter and Direct3D feature level.\n"
    "Given a Potree 2.0 or Entwine folder, also prints its bounds, reference position,\n"
    "root spacing and the nodes of its octree per level.\n"
    "\n"
    "options:\n"
    "  --json    print one JSON object instead of text\n"
    "  --help    show this help\n";

nlohmann::json describeDataSet(std::filesystem::path const& folder)
{
    Octree::Octree const octree(Tools::openDataSet(folder), 1.0);
    std::vector<std::size_t> nodesPerLevel;
    std::vector<Octree::OctreeNodeId> pending{octree.root()};
    while (!pending.empty()) {
        Octree::OctreeNodeId const id = pending.back();
        pending.pop_back();
        if (nodesPerLevel.size() <= id.level())
            nodesPerLevel.resize(id.level() + 1);
        ++nodesPerLevel[id.level()];
        for (Octree::OctreeNodeId const child : octree.children(id))
            pending.push_back(child);
    }
    auto const box = octree.boundingBox();
    auto const& position = octree.position();
    return {
        {"folder", folder.generic_string()},
        {"bounds_min", {box.min().x(), box.min().y(), box.min().z()}},
        {"bounds_max", {box.max().x(), box.max().y(), box.max().z()}},
        {"reference_position", {position.x(), position.y(), position.z()}},
        {"spacing", octree.spacing()},
        {"has_normals", octree.hasNormals()},
        {"nodes_per_level", nodesPerLevel},
    };
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

    Render::Renderer const renderer;
    nlohmann::json report{{"adapter", Tools::adapterName(renderer)},
                          {"feature_level", Tools::featureLevelName(renderer)}};
    if (!options.positional().empty())
        report["data_set"] = describeDataSet(options.positional().front());

    if (options.has("--json")) {
        std::printf("%s\n", report.dump().c_str());
        return 0;
    }
    std::printf("adapter: %s\nfeature level: %s\n", report["adapter"].get<std::string>().c_str(),
                report["feature_level"].get<std::string>().c_str());
    if (report.contains("data_set")) {
        auto const& set = report["data_set"];
        std::printf("data set: %s\nbounds: %s to %s\nreference position: %s\nspacing: %g\nnodes per level: %s\n",
                    set["folder"].get<std::string>().c_str(), set["bounds_min"].dump().c_str(),
                    set["bounds_max"].dump().c_str(), set["reference_position"].dump().c_str(),
                    set["spacing"].get<double>(), set["nodes_per_level"].dump().c_str());
    }
    return 0;
}
