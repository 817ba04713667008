// Node decoding into the renderer's vertex containers against the part of the work that no decoder
// can avoid on the same bytes: reading and copying them (DEFAULT), reading and decompressing them
// (BROTLI), reading them and letting LASzip read the points (Entwine). Both sides read the node
// bytes through the data set's location, which the first turn brings into the page cache.
// Usage: decode_bench <realworld data folder> <sample scene folder>

#include "benchsupport.h"

#include "core/brotlidecode.h"
#include "octree/entwinelocation.h"
#include "octree/nodevertexloader.h"
#include "octree/octree.h"
#include "octree/potreelocation.h"

#include <laszip/laszip_api.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kRepetitions = 9;

std::vector<Octree::OctreeNodeId> allNodes(Octree::Octree const& octree)
{
    std::vector<Octree::OctreeNodeId> nodes{octree.root()};
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (Octree::OctreeNodeId const child : octree.children(nodes[i]))
            nodes.push_back(child);
    }
    return nodes;
}

// One data set with its nodes, opened once for both sides.
struct DataSet {
    std::string name;
    std::shared_ptr<Octree::Location> location;
    std::unique_ptr<Octree::Octree> octree;
    std::vector<Octree::OctreeNodeId> nodes;
};

DataSet openPotree(std::filesystem::path const& folder)
{
    auto location = std::make_shared<PoTree::FileSystemLocation>(folder);
    auto octree = std::make_unique<Octree::Octree>(location, 1.0);
    std::vector<Octree::OctreeNodeId> nodes = allNodes(*octree);
    return {folder.filename().string(), std::move(location), std::move(octree), std::move(nodes)};
}

DataSet openEntwine(std::filesystem::path const& folder)
{
    auto location = std::make_shared<Entwine::FileSystemLocation>(folder);
    auto octree = std::make_unique<Octree::Octree>(location, 1.0);
    std::vector<Octree::OctreeNodeId> nodes = allNodes(*octree);
    return {folder.filename().string(), std::move(location), std::move(octree), std::move(nodes)};
}

// The library's path from a node id to its vertices; returns the points decoded.
std::size_t decodeAllNodes(DataSet const& dataSet)
{
    std::size_t points = 0;
    Render::VertexContainer vertices;
    for (Octree::OctreeNodeId const id : dataSet.nodes) {
        std::string error;
        if (!Octree::loadNodeVertices(*dataSet.octree, id, vertices, {}, &error))
            throw std::runtime_error(dataSet.name + " node " + id.name() + ": " + error);
        points += vertices.size();
    }
    return points;
}

// Visits every Potree node with points as (node, its bytes as stored).
template <class Visit>
void forEachPotreeNode(DataSet const& dataSet, Visit&& visit)
{
    PoTree::Hierarchy const& hierarchy = *dataSet.octree->potreeTree();
    for (Octree::OctreeNodeId const id : dataSet.nodes) {
        PoTree::NodePtr const node = hierarchy.nodeById(id);
        if (!node || node->numPoints == 0 || node->byteSize == 0)
            continue;
        visit(*node, hierarchy.location().fetchOctreeChunk(node->byteOffset, node->byteSize, {}).get());
    }
}

// Reads each node's bytes and copies them into memory of their own, as a decoder's output must be.
std::size_t copyAllNodes(DataSet const& dataSet)
{
    std::size_t const bytesPerPoint = dataSet.octree->potreeTree()->location().metadata().bytesPerPoint;
    std::size_t points = 0;
    forEachPotreeNode(dataSet, [&](PoTree::Node const& node, std::string const& bytes) {
        auto copy = std::make_unique_for_overwrite<char[]>(bytes.size());
        std::memcpy(copy.get(), bytes.data(), bytes.size());
        Bench::requireSameWork(bytes.size() == node.numPoints * bytesPerPoint, "node " + node.id.name() + " size");
        points += bytes.size() / bytesPerPoint;
    });
    return points;
}

std::size_t decompressAllNodes(DataSet const& dataSet)
{
    std::size_t const bytesPerPoint = dataSet.octree->potreeTree()->location().metadata().brotliBytesPerPoint();
    std::size_t points = 0;
    forEachPotreeNode(dataSet, [&](PoTree::Node const&, std::string const& bytes) {
        points += Core::brotliDecode(bytes).size() / bytesPerPoint;
    });
    return points;
}

std::string entwineNodeFile(Octree::OctreeNodeId id)
{
    auto const cell = id.cell();
    return "ept-data/" + std::to_string(id.level()) + "-" + std::to_string(cell[0]) + "-" + std::to_string(cell[1]) +
           "-" + std::to_string(cell[2]) + ".laz";
}

// LASzip alone: open each node file from memory and read every point.
std::size_t laszipReadAllNodes(DataSet const& dataSet)
{
    auto const& location = static_cast<Entwine::Location const&>(*dataSet.location);
    Entwine::EntwineTree const& tree = *dataSet.octree->entwineTree();
    std::size_t points = 0;
    for (Octree::OctreeNodeId const id : dataSet.nodes) {
        auto const node = tree.nodeById(id);
        if (!node || node->pointCount == 0)
            continue;
        std::istringstream stream(location.readFile(entwineNodeFile(id)));
        laszip_POINTER reader = nullptr;
        laszip_create(&reader);
        laszip_BOOL compressed = 0;
        laszip_header* header = nullptr;
        bool const opened = laszip_open_reader_stream(reader, stream, &compressed) == 0 &&
                            laszip_get_header_pointer(reader, &header) == 0;
        std::uint64_t const count = !opened                               ? 0
                                    : header->number_of_point_records != 0 ? header->number_of_point_records
                                                                           : header->extended_number_of_point_records;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (laszip_read_point(reader) != 0)
                break;
            ++points;
        }
        laszip_close_reader(reader);
        laszip_destroy(reader);
        Bench::requireSameWork(opened && count == node->pointCount,
                        dataSet.name + " node " + id.name() + " read by LASzip");
    }
    return points;
}

// Times the library against `baseline` on each data set and adds the ratio of the summed times.
template <class Baseline>
void compare(Bench::Results& results, std::string const& key, std::string const& aim,
             std::vector<DataSet> const& dataSets, Baseline&& baseline)
{
    double subjectTotal = 0.0;
    double baselineTotal = 0.0;
    std::size_t pointsTotal = 0;
    for (DataSet const& dataSet : dataSets) {
        std::size_t const decoded = decodeAllNodes(dataSet);
        std::size_t const baselinePoints = baseline(dataSet);
        Bench::requireSameWork(decoded == baselinePoints, dataSet.name + ": " + std::to_string(decoded) +
                                                              " points decoded, " + std::to_string(baselinePoints) +
                                                              " in the baseline");
        Bench::PairedTimes const times = Bench::timeInTurns(
            kRepetitions, [&] { decodeAllNodes(dataSet); }, [&] { baseline(dataSet); });
        results.add(key + "/" + dataSet.name, times.ratio(), "x");
        results.add("decode_mpts_per_s/" + dataSet.name, static_cast<double>(decoded) / times.subject / 1e6,
                    "M points/s");
        subjectTotal += times.subject;
        baselineTotal += times.baseline;
        pointsTotal += decoded;
    }
    results.add(key, subjectTotal / baselineTotal, "x", aim,
                std::to_string(pointsTotal) + " points in " + std::to_string(dataSets.size()) + " data sets");
}

} // namespace

int main(int argc, char** argv)
{
    return Bench::runBenchmark("decode_bench", [&](Bench::Results& results) {
        if (argc != 3)
            throw std::invalid_argument("usage: decode_bench <realworld data folder> <sample scene folder>");
        std::filesystem::path const data = argv[1];
        std::vector<std::string> const potreeNames{"autzen-trim", "autzen-trim-las14", "lone-star", "mixed-conifer"};
        std::vector<DataSet> defaultSets;
        std::vector<DataSet> brotliSets;
        for (std::string const& name : potreeNames) {
            defaultSets.push_back(openPotree(data / "potree" / (name + "-default")));
            brotliSets.push_back(openPotree(data / "potree" / (name + "-brotli")));
        }
        brotliSets.push_back(openPotree(argv[2]));
        std::vector<DataSet> laszipSets;
        laszipSets.push_back(openEntwine(data / "ept" / "lone-star-laszip"));
        laszipSets.push_back(openEntwine(data / "ept" / "1.2-with-color"));

        Bench::progress("decoding DEFAULT nodes");
        compare(results, "decode_default_vs_memcpy", "<= 3", defaultSets, copyAllNodes);
        Bench::progress("decoding BROTLI nodes");
        compare(results, "decode_brotli_vs_brotli", "<= 1.3", brotliSets, decompressAllNodes);
        Bench::progress("decoding LASzip nodes");
        compare(results, "decode_laszip_vs_laszip", "<= 1.3", laszipSets, laszipReadAllNodes);
    });
}
