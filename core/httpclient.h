#pragma once

#include "core/httptransport.h"
#include "core/noncopyable.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <map>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace Core {

struct HttpClientOptions {
    // Requests sent at once; further ones wait in line.
    std::size_t maxRequestsInFlight = 4;
    std::chrono::milliseconds requestTimeout{20000};
    // Tries of one request when the server answers 5xx or the connection resets or times out.
    unsigned maxAttempts = 4;
    // Wait before the second try, doubled before each further one.
    std::chrono::milliseconds firstRetryDelay{250};
    // A server that ignores Range answers with the whole file. A file up to this size is then read
    // once and kept to cut every later range from; the ranges of a larger one fail unread.
    std::uint64_t maxWholeFileBytes = std::uint64_t{64} << 20;
    // Largest resource fetched whole (descriptions, hierarchy pages).
    std::uint64_t maxResourceBytes = std::uint64_t{256} << 20;
};

// True for "http://..." and "https://..." (any case).
bool isHttpUrl(std::string_view text);
// `url` without the slashes at its end.
std::string withoutTrailingSlashes(std::string_view url);
// `base` without trailing slashes, a slash, and `relative`.
std::string joinUrl(std::string_view base, std::string_view relative);

struct HttpStatistics {
    std::uint64_t requests = 0;
    std::uint64_t bytesFetched = 0;
};

// A request that failed for good; the message names the URL.
class HttpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Fetches resources and byte ranges of them over a transport, a bounded number at a time on the
// client's own request threads (blocking network waits stay off the shared executor, whose
// workers do the per-point work). Answers are checked before they are passed on: a status other
// than 200/206, a Content-Range or length other than the one asked for, or a body that ends early
// is an HttpError naming the URL. 5xx answers, resets and timeouts are asked again with back-off.
class HttpClient : NonCopyable {
public:
    explicit HttpClient(std::shared_ptr<HttpTransport> transport, HttpClientOptions const& options = {});
    // Shuts the client down (see shutDown).
    ~HttpClient();

    // Waits for the requests in flight and ends the request threads; requests still waiting, and
    // any asked for later, fail with an HttpError. Shut clients down before the process exits:
    // from a static destructor, WinHTTP's own shutdown may already have begun.
    void shutDown();

    // The whole resource, or the bytes of `range`. The future holds the bytes, an empty string
    // when `stopToken` was asked to stop before they arrived, or the HttpError.
    std::future<std::string> fetch(std::string url, std::stop_token stopToken = {});
    std::future<std::string> fetch(std::string url, ByteRange range, std::stop_token stopToken = {});

    HttpStatistics statistics() const;
    HttpClientOptions const& options() const { return mOptions; }
    // Requests that could start at once without waiting in line: the in-flight limit less the
    // requests sent or waiting.
    std::size_t idleRequestSlots() const;

private:
    struct Request {
        std::string url;
        std::optional<ByteRange> range;
        std::stop_token stopToken;
        std::promise<std::string> promise;
    };

    std::future<std::string> enqueue(Request request);
    static void refuse(Request& request);
    void serveRequests();
    std::string perform(Request const& request);
    std::string checkedBody(Request const& request, HttpResponse& response);
    std::string keepWholeFile(Request const& request, HttpResponse& response);
    std::shared_ptr<std::string const> wholeFile(std::string const& url);

    std::shared_ptr<HttpTransport> const mTransport;
    HttpClientOptions const mOptions;
    std::atomic<std::uint64_t> mRequests{0};
    std::atomic<std::uint64_t> mBytesFetched{0};
    mutable std::mutex mMutex;
    std::condition_variable mQueueChanged;
    std::deque<Request> mQueue;
    std::size_t mRequestsBeingServed = 0;
    bool mShuttingDown = false;
    // The files of servers that ignore Range, by URL.
    std::map<std::string, std::shared_ptr<std::string const>> mWholeFiles;
    // Last member: the threads start after everything they use exists.
    std::vector<std::thread> mWorkers;
};

} // namespace Core
