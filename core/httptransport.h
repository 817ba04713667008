#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace Core {

// `size` bytes from `offset` of a resource.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;

    std::uint64_t last() const { return offset + size - 1; }
};

// The part of a response that arrives before its body.
struct HttpResponseHead {
    int status = 0;
    std::optional<std::uint64_t> contentLength;
    std::string contentRange; // empty when the server sent none
};

struct HttpResponse {
    HttpResponseHead head;
    std::string body;
    // False when the connection ended before the bytes the body limit asked for (or, without a
    // Content-Length, before the server said the body was complete).
    bool bodyComplete = true;
};

// A request that got no answer: no connection, a reset, a timeout, a failed TLS handshake.
// `transient` says whether asking again may help.
class HttpTransportError : public std::runtime_error {
public:
    HttpTransportError(std::string const& message, bool transient)
        : std::runtime_error(message), mTransient(transient)
    {
    }
    bool isTransient() const { return mTransient; }

private:
    bool mTransient;
};

// Sends one GET and waits for its answer. Implementations keep connections alive between
// requests and may be called from several threads at once.
class HttpTransport {
public:
    // How many body bytes to read once the head is known; the rest is never read.
    using BodyLimit = std::function<std::uint64_t(HttpResponseHead const&)>;

    virtual ~HttpTransport() = default;

    // GETs `url` (http or https), asking for `range` when given. Throws HttpTransportError when
    // no head arrives within the timeout.
    virtual HttpResponse get(std::string const& url, std::optional<ByteRange> range, BodyLimit const& bodyLimit) = 0;
};

// The operating system's HTTP client (WinHTTP on Windows: TLS through the system's certificate
// store). Each connect, send and receive step waits at most `timeout`. Throws std::runtime_error
// where the platform has none.
std::unique_ptr<HttpTransport> createSystemHttpTransport(std::chrono::milliseconds timeout);

} // namespace Core
