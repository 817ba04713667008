// Streaming from a web server on the loopback address against streaming the same data sets from
// disk, in the same run: the renderer's loader from its start until it settled on the whole data
// set in view, with the HTTP client's default of four requests in flight. stream_http_vs_disk is
// the throughput over HTTP relative to disk (disk time over HTTP time; 1 is as fast as disk).
//
// Run it inside the test server, which passes its URL in MORVID_TEST_HTTP_URL (scripts/bench does):
//   tests/support/rangeserver.py --root ../shared/data/realworld -- scripts/wine-run stream_http_bench.exe

#include "core/httpclient.h"
#include "octree/entwinehttplocation.h"
#include "octree/entwinelocation.h"
#include "octree/potreehttplocation.h"
#include "octree/potreelocation.h"

#include "benchsupport.h"
#include "streamingview.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr int kRepetitions = 5;
// More than any of the data sets holds: the loader settles once every node in view is loaded.
constexpr std::size_t kBudget = 10'000'000;
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

} // namespace

int main()
{
    return Bench::runBenchmark("stream_http_bench", [](Bench::Results& results) {
        char const* const serverUrl = std::getenv("MORVID_TEST_HTTP_URL");
        if (!serverUrl)
            throw std::runtime_error("MORVID_TEST_HTTP_URL is not set; run it inside tests/support/rangeserver.py");
        // One client through all runs, with its kept-alive connections, as in a viewer; a fresh
        // location and cloud each run, so that nothing is read from an earlier one's caches.
        Core::HttpClientOptions const options;
        auto const client =
            std::make_shared<Core::HttpClient>(Core::createSystemHttpTransport(options.requestTimeout), options);
        double diskTotal = 0.0;
        double httpTotal = 0.0;
        for (std::string const dataSet : kDataSets) {
            Bench::progress("streaming " + dataSet + " over HTTP and from disk");
            Bench::Settled overHttp;
            Bench::Settled fromDisk;
            std::uint64_t requests = 0;
            Bench::PairedTimes const times = Bench::measureInTurns(
                kRepetitions,
                [&] {
                    std::uint64_t const before = client->statistics().requests;
                    overHttp = Bench::View(openLocation(dataSet, serverUrl, client), dataSet, kBudget).settle(false);
                    requests = client->statistics().requests - before;
                    return overHttp.secondsToSettled;
                },
                [&] {
                    fromDisk = Bench::View(openLocation(dataSet, {}, nullptr), dataSet, kBudget).settle(false);
                    return fromDisk.secondsToSettled;
                });
            Bench::requireSameWork(fromDisk.points == overHttp.points && fromDisk.points > 0,
                                   dataSet + ": the points streamed over HTTP and from disk differ");
            results.add("stream_http_vs_disk/" + dataSet, times.baseline / times.subject, "x", "",
                        std::to_string(overHttp.points) + " points, " + std::to_string(requests) + " requests");
            results.add("stream_http_mpts_per_s/" + dataSet, static_cast<double>(overHttp.points) / times.subject / 1e6,
                        "Mpts/s");
            diskTotal += times.baseline;
            httpTotal += times.subject;
        }
        results.add("stream_http_vs_disk", diskTotal / httpTotal, "x", ">= 0.7",
                    "start to settled of the real-world sets in view, 4 requests in flight on 127.0.0.1");
    });
}
