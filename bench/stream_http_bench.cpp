// Streaming node data from a web server on the loopback address against reading the same data
// sets from disk, in the same run: every node of a data set decoded into vertices, four nodes at
// a time (four requests in flight over HTTP). stream_http_vs_disk is the throughput over HTTP
// relative to disk (disk time over HTTP time; 1 is as fast as disk).
//
// Run it inside the test server, which passes its URL in MORVID_TEST_HTTP_URL (scripts/bench does):
//   tests/support/rangeserver.py --root ../shared/data/realworld -- scripts/wine-run stream_http_bench.exe

#include "core/httpclient.h"
#include "octree/entwinehttplocation.h"
#include "octree/entwinelocation.h"
#include "octree/nodevertexloader.h"
#include "octree/potreehttplocation.h"
#include "octree/potreelocation.h"

#include "benchsupport.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kRequestsInFlight = 4;
// How far ahead of the nodes being decoded their bytes are asked for: a few batches of siblings.
constexpr std::size_t kPrefetchDistance = 16;
constexpr int kRepetitions = 5;
constexpr char kDataSets[][32] = {"potree/lone-star-brotli", "potree/lone-star-default", "ept/lone-star-laszip"};

std::filesystem::path const kRealWorld = std::filesystem::path(MORVID_BENCH_DATA_DIR) / "realworld";

std::shared_ptr<Octree::Location> openLocation(std::string const& dataSet, std::string const& serverUrl,
                                               std::shared_ptr<Core::HttpClient> const& client)
{
    bool const entwine = dataSet.starts_with("ept/");
    if (serverUrl.empty()) {
        if (entwine)
            return std::make_shared<Entwine::FileSystemLocation>(kRealWorld / dataSet);
        return std::make_shared<PoTree::FileSystemLocation>(kRealWorld / dataSet);
    }
    std::string const url = Core::joinUrl(serverUrl, "plain/" + dataSet);
    if (entwine)
        return std::make_shared<Entwine::HttpLocation>(url, client);
    return std::make_shared<PoTree::HttpLocation>(url, client);
}

// Decodes every node, kRequestsInFlight at a time, and returns the points decoded; nothing when
// a node cannot be read.
std::optional<std::size_t> streamAllNodes(Octree::Octree const& octree)
{
    std::vector<Octree::OctreeNodeId> const nodes = Octree::allNodeIds(octree);
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> points{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> loaders;
    for (std::size_t k = 0; k < kRequestsInFlight; ++k) {
        loaders.emplace_back([&] {
            for (std::size_t i = next++; i < nodes.size() && !failed; i = next++) {
                // As a viewer's loader does with the next nodes of its queue.
                if (i + kPrefetchDistance < nodes.size())
                    Octree::prefetchNodeVertices(octree, nodes[i + kPrefetchDistance]);
                Render::VertexContainer vertices;
                if (Octree::loadNodeVertices(octree, nodes[i], vertices, {}))
                    points += vertices.size();
                else
                    failed = true;
            }
        });
    }
    for (std::thread& loader : loaders)
        loader.join();
    return failed ? std::nullopt : std::optional<std::size_t>(points);
}

} // namespace

int main()
{
    return Bench::runBenchmark("stream_http_bench", [](Bench::Results& results) {
        char const* const serverUrl = std::getenv("MORVID_TEST_HTTP_URL");
        if (!serverUrl)
            throw std::runtime_error("MORVID_TEST_HTTP_URL is not set; run it inside tests/support/rangeserver.py");
        Core::HttpClientOptions options;
        options.maxRequestsInFlight = kRequestsInFlight;
        // One client through all runs, with its kept-alive connections, as in a viewer; a fresh
        // location each run, so that nothing is read from an earlier one.
        auto const client =
            std::make_shared<Core::HttpClient>(Core::createSystemHttpTransport(options.requestTimeout), options);
        double diskTotal = 0.0;
        double httpTotal = 0.0;
        for (char const* dataSet : kDataSets) {
            std::optional<std::size_t> fromDisk;
            std::optional<std::size_t> overHttp;
            Bench::PairedTimes const times = Bench::timeInTurns(
                kRepetitions,
                [&] { overHttp = streamAllNodes(Octree::Octree(openLocation(dataSet, serverUrl, client), 1.0)); },
                [&] { fromDisk = streamAllNodes(Octree::Octree(openLocation(dataSet, {}, nullptr), 1.0)); });
            Bench::requireSameWork(fromDisk && overHttp && *fromDisk == *overHttp,
                                   std::string(dataSet) + ": the points streamed over HTTP and from disk differ");
            results.add(std::string("stream_http_vs_disk/") + dataSet, times.baseline / times.subject, "x");
            results.add(std::string("stream_http_mpts_per_s/") + dataSet,
                        static_cast<double>(*overHttp) / times.subject / 1e6, "Mpts/s");
            diskTotal += times.baseline;
            httpTotal += times.subject;
        }
        results.add("stream_http_vs_disk", diskTotal / httpTotal, "x", ">= 0.7",
                    "every node of the real-world sets, 4 requests in flight on 127.0.0.1");
    });
}
