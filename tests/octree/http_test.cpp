// The HTTP client and the http locations against a real server on the loopback address:
// tests/support/rangeserver.py runs this program and passes its base URL in
// MORVID_TEST_HTTP_URL. Each URL's first path segment picks the server's fault scenario.
#include "core/filereading.h"
#include "core/httpclient.h"
#include "octree/entwinehttplocation.h"
#include "octree/entwinelocation.h"
#include "octree/octree.h"
#include "octree/potreehttplocation.h"
#include "octree/potreelocation.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <utility>
#include <vector>

namespace {

std::filesystem::path const kRealWorld = std::filesystem::path(MORVID_TEST_DATA_DIR) / "realworld";

// Set by tests/support/rangeserver.py, which runs this program.
std::string const kServerUrl = std::getenv("MORVID_TEST_HTTP_URL") ? std::getenv("MORVID_TEST_HTTP_URL") : "";

// The URL of a file or folder below the real-world data, served with a fault scenario.
std::string urlOf(std::string const& scenario, std::string const& path)
{
    return Core::joinUrl(kServerUrl, scenario + "/" + path);
}

Core::HttpClientOptions quickRetries(std::size_t inFlight = 4)
{
    Core::HttpClientOptions options;
    options.maxRequestsInFlight = inFlight;
    options.firstRetryDelay = std::chrono::milliseconds(10);
    options.requestTimeout = std::chrono::milliseconds(3000);
    return options;
}

std::shared_ptr<Core::HttpClient> makeClient(Core::HttpClientOptions const& options)
{
    return std::make_shared<Core::HttpClient>(Core::createSystemHttpTransport(options.requestTimeout), options);
}

nlohmann::json serverStatistics(Core::HttpClient& client)
{
    return nlohmann::json::parse(client.fetch(Core::joinUrl(kServerUrl, "__stats")).get());
}

std::string fileBytes(std::string const& path, Core::ByteRange range)
{
    return Core::readLocalFile(kRealWorld / path, range.offset, range.size);
}

void expectErrorNaming(std::future<std::string> answer, std::string const& url, std::string const& reason)
{
    try {
        answer.get();
        ADD_FAILURE() << "no error";
    } catch (Core::HttpError const& error) {
        EXPECT_NE(std::string(error.what()).find("'" + url + "'"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
    }
}

TEST(HttpClient, RangesInFlightTogetherMatchTheFileOverKeptAliveConnections)
{
    auto const client = makeClient(quickRetries(4));
    std::string const path = "potree/lone-star-default/octree.bin";
    std::vector<Core::ByteRange> ranges;
    for (std::uint64_t i = 0; i < 24; ++i)
        ranges.push_back({i * 400'000 + i, 1000 + i * 3000});
    std::vector<std::future<std::string>> answers;
    for (Core::ByteRange const& range : ranges)
        answers.push_back(client->fetch(urlOf("plain", path), range));
    for (std::size_t i = 0; i < ranges.size(); ++i)
        EXPECT_EQ(answers[i].get(), fileBytes(path, ranges[i])) << "range " << i;

    // Once the first requests have opened their connections, later ones reuse them.
    int const connectionsBefore = serverStatistics(*client)["connections"].get<int>();
    for (Core::ByteRange const& range : ranges)
        EXPECT_EQ(client->fetch(urlOf("plain", path), range).get(), fileBytes(path, range));
    EXPECT_EQ(serverStatistics(*client)["connections"].get<int>(), connectionsBefore);
    EXPECT_EQ(client->statistics().requests, 2 * ranges.size() + 2);
}

struct FaultCase {
    char const* scenario;
    char const* path;
    std::optional<Core::ByteRange> range;
    // Empty when the bytes arrive despite the fault.
    char const* error;
    std::uint64_t requests;
    // A shorter timeout than the server's delay, when not 0.
    std::chrono::milliseconds timeout{0};
};

TEST(HttpClient, EachFaultEndsInTheBytesOrAnErrorNamingTheUrl)
{
    constexpr char kNode[] = "ept/lone-star-laszip/ept-data/2-2-2-1.laz";
    constexpr char kOtherNode[] = "ept/lone-star-laszip/ept-data/1-0-0-0.laz";
    constexpr char kOctree[] = "potree/lone-star-default/octree.bin";
    FaultCase const cases[] = {
        {"node-404", kNode, std::nullopt, "HTTP status 404", 1},
        {"short-body", kNode, std::nullopt, "the body ended after", 1},
        {"node-500", kOtherNode, std::nullopt, "HTTP status 500 after 4 attempts", 4},
        {"node-500-once", kOtherNode, std::nullopt, "", 2},
        {"drop-once", kOctree, Core::ByteRange{5000, 777}, "", 3},
        {"wrong-range", kOctree, Core::ByteRange{5000, 777}, "the server sent Content-Range 'bytes 5001-5777/", 1},
        {"plain", "potree/no-such-set/octree.bin", Core::ByteRange{0, 10}, "HTTP status 404", 1},
        {"slow-node", "ept/lone-star-laszip/ept-data/1-1-1-1.laz", std::nullopt, "timed out after 4 attempts", 4,
         std::chrono::milliseconds(500)},
    };
    for (FaultCase const& fault : cases) {
        SCOPED_TRACE(fault.scenario);
        Core::HttpClientOptions options = quickRetries();
        if (fault.timeout.count() > 0)
            options.requestTimeout = fault.timeout;
        auto const client = makeClient(options);
        std::string const url = urlOf(fault.scenario, fault.path);
        auto answer = fault.range ? client->fetch(url, *fault.range) : client->fetch(url);
        if (*fault.error == '\0') {
            std::uint64_t const size =
                fault.range ? fault.range->size : std::filesystem::file_size(kRealWorld / fault.path);
            EXPECT_EQ(answer.get(), fileBytes(fault.path, fault.range.value_or(Core::ByteRange{0, size})));
        } else {
            expectErrorNaming(std::move(answer), url, fault.error);
        }
        EXPECT_EQ(client->statistics().requests, fault.requests);
    }
}

TEST(HttpClient, AnUntrustedCertificateIsRefusedAtOnce)
{
    char const* const server = std::getenv("MORVID_TEST_UNTRUSTED_HTTPS_URL");
    ASSERT_NE(server, nullptr) << "run this test through tests/support/rangeserver.py";
    auto const client = makeClient(quickRetries());
    std::string const url = Core::joinUrl(server, "plain/potree/lone-star-default/metadata.json");
    expectErrorNaming(client->fetch(url), url, "the TLS handshake failed");
    EXPECT_EQ(client->statistics().requests, 1u);
}

TEST(HttpClient, AServerIgnoringRangeIsReadOnceUpToALimit)
{
    std::string const path = "potree/autzen-trim-default/octree.bin";
    std::string const url = urlOf("ignore-range", path);
    auto const fileSize = std::filesystem::file_size(kRealWorld / path);

    auto const client = makeClient(quickRetries(1));
    for (Core::ByteRange const range : {Core::ByteRange{100, 50}, Core::ByteRange{fileSize - 70, 70}})
        EXPECT_EQ(client->fetch(url, range).get(), fileBytes(path, range));
    EXPECT_EQ(client->statistics().requests, 1u);
    EXPECT_EQ(client->statistics().bytesFetched, fileSize);

    Core::HttpClientOptions small = quickRetries();
    small.maxWholeFileBytes = fileSize - 1;
    auto const limited = makeClient(small);
    expectErrorNaming(limited->fetch(url, {100, 50}), url, "ignores Range requests");
    EXPECT_EQ(limited->statistics().bytesFetched, 0u);
}

void expectSamePoints(Octree::Octree const& fromDisk, Octree::Octree const& fromServer,
                      std::optional<Octree::OctreeNodeId> broken = std::nullopt)
{
    std::vector<Octree::OctreeNodeId> const nodes = Octree::allNodeIds(fromDisk);
    ASSERT_EQ(nodes, Octree::allNodeIds(fromServer));
    for (Octree::OctreeNodeId const id : nodes) {
        Octree::NodePointData expected;
        Octree::NodePointData actual;
        ASSERT_TRUE(fromDisk.loadNodePointData(id, expected));
        if (broken && id == *broken) {
            EXPECT_THROW(fromServer.loadNodePointData(id, actual), std::runtime_error);
            continue;
        }
        ASSERT_TRUE(fromServer.loadNodePointData(id, actual)) << id.name();
        ASSERT_EQ(actual.size(), expected.size()) << id.name();
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(actual.position(i), expected.position(i)) << id.name() << " point " << i;
            ASSERT_EQ(actual.color(i), expected.color(i)) << id.name() << " point " << i;
        }
    }
}

TEST(HttpLocation, PotreeAndEntwineDataSetsReadAsFromDiskAndAreKnownByTheirUrl)
{
    auto const client = makeClient(quickRetries());
    Octree::Octree const potreeDisk(std::make_shared<PoTree::FileSystemLocation>(kRealWorld / "potree/mixed-conifer-brotli"), 1.0);
    Octree::Octree const potreeServer(
        std::make_shared<PoTree::HttpLocation>(urlOf("plain", "potree/mixed-conifer-brotli/"), client), 1.0);
    expectSamePoints(potreeDisk, potreeServer);
    // Siblings stored back to back come in one request: 157 nodes in 20 batches, the root, the
    // hierarchy and the metadata.
    EXPECT_EQ(client->statistics().requests, 23u);

    // A missing node file fails that node alone.
    Octree::Octree const entwineDisk(std::make_shared<Entwine::FileSystemLocation>(kRealWorld / "ept/lone-star-laszip"), 1.0);
    Octree::Octree const entwineServer(
        std::make_shared<Entwine::HttpLocation>(urlOf("node-404", "ept/lone-star-laszip"), client), 1.0);
    expectSamePoints(entwineDisk, entwineServer, Octree::OctreeNodeId::fromCell(2, 2, 2, 1));

    // A data set is known by its URL, with or without the closing slash.
    auto const a = std::make_shared<PoTree::HttpLocation>(urlOf("plain", "potree/lone-star-default"), client);
    auto const b = std::make_shared<PoTree::HttpLocation>(urlOf("plain", "potree/lone-star-default/"), client);
    auto const c = std::make_shared<PoTree::HttpLocation>(urlOf("plain", "potree/lone-star-brotli"), client);
    EXPECT_TRUE(*a == *b);
    EXPECT_FALSE(*a == *c);
    EXPECT_FALSE(std::make_shared<Entwine::HttpLocation>(urlOf("plain", "potree/lone-star-default"), client)->exists());
    EXPECT_TRUE(a->exists());
}

} // namespace
