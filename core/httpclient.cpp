#include "core/httpclient.h"

#include "core/log.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

namespace Core {
namespace {

constexpr std::chrono::milliseconds kStopPollInterval{20};
constexpr int kStatusOk = 200;
constexpr int kStatusPartialContent = 206;
constexpr int kStatusRequestTimeout = 408;
constexpr int kStatusTooManyRequests = 429;
// An error page this small is read, so that its connection can serve the next request.
constexpr std::uint64_t kMaxErrorBodyBytes = 64 * 1024;

std::string describe(std::string const& url, std::optional<ByteRange> const& range)
{
    if (!range)
        return "'" + url + "'";
    return "'" + url + "' (bytes " + std::to_string(range->offset) + "-" + std::to_string(range->last()) + ")";
}

bool isTransientStatus(int status)
{
    return status >= 500 || status == kStatusRequestTimeout || status == kStatusTooManyRequests;
}

// Sleeps for `delay` unless a stop is requested first; true when the whole delay passed.
bool sleepUnlessStopped(std::chrono::milliseconds delay, std::stop_token const& stopToken)
{
    auto const end = std::chrono::steady_clock::now() + delay;
    while (!stopToken.stop_requested()) {
        auto const now = std::chrono::steady_clock::now();
        if (now >= end)
            return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, kStopPollInterval));
    }
    return false;
}

std::optional<std::uint64_t> parseNumber(std::string_view text)
{
    std::uint64_t value = 0;
    auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// True when `header` ("bytes first-last/total" or ".../*") names exactly `range`.
bool contentRangeMatches(std::string_view header, ByteRange const& range)
{
    constexpr std::string_view kUnit = "bytes ";
    if (!header.starts_with(kUnit))
        return false;
    header.remove_prefix(kUnit.size());
    std::size_t const dash = header.find('-');
    std::size_t const slash = header.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return false;
    auto const first = parseNumber(header.substr(0, dash));
    auto const last = parseNumber(header.substr(dash + 1, slash - dash - 1));
    return first == range.offset && last == range.last();
}

std::string rangeOf(std::string const& file, ByteRange const& range, std::string const& where)
{
    if (range.offset > file.size() || range.size > file.size() - range.offset)
        throw HttpError(where + ": the file holds only " + std::to_string(file.size()) + " bytes");
    return file.substr(range.offset, range.size);
}

} // namespace

bool isHttpUrl(std::string_view text)
{
    auto const startsWithNoCase = [&](std::string_view prefix) {
        return text.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), text.begin(),
                          [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    };
    return startsWithNoCase("http://") || startsWithNoCase("https://");
}

std::string withoutTrailingSlashes(std::string_view url)
{
    while (url.ends_with('/'))
        url.remove_suffix(1);
    return std::string(url);
}

std::string joinUrl(std::string_view base, std::string_view relative)
{
    return withoutTrailingSlashes(base) + "/" + std::string(relative);
}

HttpClient::HttpClient(std::shared_ptr<HttpTransport> transport, HttpClientOptions const& options)
    : mTransport(std::move(transport)), mOptions(options)
{
    if (!mTransport)
        throw std::invalid_argument("HttpClient needs a transport");
    if (mOptions.maxRequestsInFlight == 0 || mOptions.maxAttempts == 0)
        throw std::invalid_argument("HttpClient needs at least one request in flight and one attempt");
    for (std::size_t i = 0; i < mOptions.maxRequestsInFlight; ++i)
        mWorkers.emplace_back([this] { serveRequests(); });
}

HttpClient::~HttpClient()
{
    shutDown();
}

void HttpClient::shutDown()
{
    std::vector<std::thread> workers;
    {
        std::lock_guard const lock(mMutex);
        mShuttingDown = true;
        workers.swap(mWorkers);
    }
    mQueueChanged.notify_all();
    for (std::thread& worker : workers)
        worker.join();
    std::deque<Request> waiting;
    {
        std::lock_guard const lock(mMutex);
        waiting.swap(mQueue);
    }
    for (Request& request : waiting)
        refuse(request);
}

void HttpClient::refuse(Request& request)
{
    request.promise.set_exception(
        std::make_exception_ptr(HttpError(describe(request.url, request.range) + ": the client was shut down")));
}

std::future<std::string> HttpClient::fetch(std::string url, std::stop_token stopToken)
{
    return enqueue({std::move(url), std::nullopt, std::move(stopToken), {}});
}

std::future<std::string> HttpClient::fetch(std::string url, ByteRange range, std::stop_token stopToken)
{
    return enqueue({std::move(url), range, std::move(stopToken), {}});
}

HttpStatistics HttpClient::statistics() const
{
    return {mRequests.load(), mBytesFetched.load()};
}

std::size_t HttpClient::idleRequestSlots() const
{
    std::lock_guard const lock(mMutex);
    std::size_t const busy = mQueue.size() + mRequestsBeingServed;
    return busy >= mOptions.maxRequestsInFlight ? 0 : mOptions.maxRequestsInFlight - busy;
}

std::future<std::string> HttpClient::enqueue(Request request)
{
    std::future<std::string> result = request.promise.get_future();
    if (request.range && request.range->size == 0) {
        request.promise.set_value({});
        return result;
    }
    {
        std::lock_guard const lock(mMutex);
        if (!mShuttingDown) {
            mQueue.push_back(std::move(request));
            mQueueChanged.notify_one();
            return result;
        }
    }
    refuse(request);
    return result;
}

void HttpClient::serveRequests()
{
    for (;;) {
        Request request;
        {
            std::unique_lock lock(mMutex);
            mQueueChanged.wait(lock, [this] { return mShuttingDown || !mQueue.empty(); });
            if (mShuttingDown)
                return;
            request = std::move(mQueue.front());
            mQueue.pop_front();
            ++mRequestsBeingServed;
        }
        std::string bytes;
        std::exception_ptr failure;
        try {
            bytes = perform(request);
        } catch (...) {
            failure = std::current_exception();
        }
        // Free again before the answer is handed over, so that whoever waits for it finds the slot.
        {
            std::lock_guard const lock(mMutex);
            --mRequestsBeingServed;
        }
        if (failure)
            request.promise.set_exception(failure);
        else
            request.promise.set_value(std::move(bytes));
    }
}

std::string HttpClient::perform(Request const& request)
{
    if (request.range) {
        if (auto const file = wholeFile(request.url))
            return rangeOf(*file, *request.range, describe(request.url, request.range));
    }
    std::chrono::milliseconds delay = mOptions.firstRetryDelay;
    for (unsigned attempt = 1;; ++attempt) {
        if (request.stopToken.stop_requested())
            return {};
        std::string failure;
        try {
            ++mRequests;
            HttpResponse response = mTransport->get(request.url, request.range, [&](HttpResponseHead const& head) {
                if (head.status == kStatusPartialContent && request.range)
                    return request.range->size;
                if (head.status != kStatusOk)
                    return head.contentLength && *head.contentLength <= kMaxErrorBodyBytes ? *head.contentLength
                                                                                           : std::uint64_t{0};
                if (!request.range)
                    return mOptions.maxResourceBytes + 1;
                if (!head.contentLength)
                    return mOptions.maxWholeFileBytes + 1;
                return *head.contentLength <= mOptions.maxWholeFileBytes ? *head.contentLength : std::uint64_t{0};
            });
            mBytesFetched += response.body.size();
            if (!isTransientStatus(response.head.status))
                return checkedBody(request, response);
            failure = "HTTP status " + std::to_string(response.head.status);
        } catch (HttpTransportError const& error) {
            if (!error.isTransient())
                throw HttpError(describe(request.url, request.range) + ": " + error.what());
            failure = error.what();
        }
        if (attempt >= mOptions.maxAttempts)
            throw HttpError(describe(request.url, request.range) + ": " + failure + " after " + std::to_string(attempt) +
                            " attempts");
        if (!sleepUnlessStopped(delay, request.stopToken))
            return {};
        delay *= 2;
    }
}

std::string HttpClient::checkedBody(Request const& request, HttpResponse& response)
{
    std::string const where = describe(request.url, request.range);
    HttpResponseHead const& head = response.head;
    if (head.status == kStatusOk && request.range)
        return keepWholeFile(request, response);
    if (head.status != kStatusOk && head.status != kStatusPartialContent)
        throw HttpError(where + ": HTTP status " + std::to_string(head.status));
    if (head.status == kStatusPartialContent && !request.range)
        throw HttpError(where + ": partial content (HTTP 206) where the whole resource was asked for");

    std::uint64_t expected = 0;
    if (request.range) {
        if (!contentRangeMatches(head.contentRange, *request.range))
            throw HttpError(where + ": the server sent Content-Range '" + head.contentRange + "' instead");
        if (head.contentLength && *head.contentLength != request.range->size)
            throw HttpError(where + ": the server sent Content-Length " + std::to_string(*head.contentLength) +
                            " instead of " + std::to_string(request.range->size));
        expected = request.range->size;
    } else {
        if (head.contentLength && *head.contentLength > mOptions.maxResourceBytes)
            throw HttpError(where + ": " + std::to_string(*head.contentLength) + " bytes exceed the limit of " +
                            std::to_string(mOptions.maxResourceBytes));
        expected = head.contentLength.value_or(response.body.size());
    }
    if (!response.bodyComplete || response.body.size() != expected)
        throw HttpError(where + ": the body ended after " + std::to_string(response.body.size()) + " of " +
                        std::to_string(expected) + " bytes");
    return std::move(response.body);
}

std::string HttpClient::keepWholeFile(Request const& request, HttpResponse& response)
{
    std::string const where = describe(request.url, request.range);
    std::uint64_t const size = response.head.contentLength.value_or(response.body.size());
    if (size > mOptions.maxWholeFileBytes)
        throw HttpError(where + ": the server ignores Range requests, and the file's " + std::to_string(size) +
                        " bytes exceed the " + std::to_string(mOptions.maxWholeFileBytes) + " bytes read whole");
    if (!response.bodyComplete || response.body.size() != size)
        throw HttpError(where + ": the body ended after " + std::to_string(response.body.size()) + " of " +
                        std::to_string(size) + " bytes");
    auto file = std::make_shared<std::string const>(std::move(response.body));
    bool first = false;
    {
        std::lock_guard const lock(mMutex);
        first = mWholeFiles.emplace(request.url, file).second;
    }
    if (first)
        Log::warning("'" + request.url + "': the server ignores Range requests; its " + std::to_string(size) +
                     " bytes are kept to cut every range from");
    return rangeOf(*file, *request.range, where);
}

std::shared_ptr<std::string const> HttpClient::wholeFile(std::string const& url)
{
    std::lock_guard const lock(mMutex);
    auto const it = mWholeFiles.find(url);
    return it == mWholeFiles.end() ? nullptr : it->second;
}

} // namespace Core
