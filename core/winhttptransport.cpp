#include "core/httptransport.h"

#if defined(_WIN32)

#include "core/noncopyable.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

namespace Core {
namespace {

// Room for a body of unknown length at first; it doubles as it fills.
constexpr std::uint64_t kFirstReadBytes = 256 * 1024;
// The most asked of one read call.
constexpr std::size_t kMaxReadBytes = std::size_t{64} << 20;

// Owns one WinHTTP handle (session, connection or request).
class InternetHandle : NonCopyable {
public:
    explicit InternetHandle(HINTERNET handle = nullptr) : mHandle(handle) {}
    InternetHandle(InternetHandle&& other) noexcept : mHandle(std::exchange(other.mHandle, nullptr)) {}
    ~InternetHandle()
    {
        if (mHandle)
            WinHttpCloseHandle(mHandle);
    }
    HINTERNET get() const { return mHandle; }
    explicit operator bool() const { return mHandle != nullptr; }

private:
    HINTERNET mHandle;
};

std::wstring widen(std::string const& text)
{
    if (text.empty())
        return {};
    int const length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string narrow(std::wstring const& text)
{
    std::string result;
    for (wchar_t const c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

std::string errorText(DWORD code)
{
    switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT: return "the request timed out";
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case WSAECONNREFUSED: return "cannot connect to the server";
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case WSAECONNRESET:
    case WSAECONNABORTED: return "the connection was reset";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "the server's answer is not valid HTTP";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "the server name cannot be resolved";
    case ERROR_WINHTTP_SECURE_FAILURE: return "the TLS handshake failed (certificate not trusted or invalid)";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "the TLS handshake failed (the secure channel refused the connection)";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "only http and https URLs are supported";
    case ERROR_WINHTTP_INVALID_URL: return "the URL is not valid";
    default: return "WinHTTP error " + std::to_string(code);
    }
}

// Socket error codes come through where Wine's WinHTTP passes them on unmapped.
bool isTransient(DWORD code)
{
    switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case WSAETIMEDOUT:
    case WSAECONNREFUSED:
    case WSAECONNRESET:
    case WSAECONNABORTED: return true;
    default: return false;
    }
}

[[noreturn]] void throwLastError()
{
    DWORD const code = GetLastError();
    throw HttpTransportError(errorText(code), isTransient(code));
}

std::optional<std::wstring> queryHeader(HINTERNET request, DWORD info)
{
    DWORD bytes = 0;
    WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return std::nullopt;
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    value.resize(bytes / sizeof(wchar_t));
    return value;
}

HttpResponseHead readHead(HINTERNET request)
{
    HttpResponseHead head;
    DWORD status = 0;
    DWORD bytes = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &bytes, WINHTTP_NO_HEADER_INDEX))
        throwLastError();
    head.status = static_cast<int>(status);
    if (auto const length = queryHeader(request, WINHTTP_QUERY_CONTENT_LENGTH)) {
        try {
            head.contentLength = std::stoull(narrow(*length));
        } catch (std::exception const&) {
            throw HttpTransportError("the server sent Content-Length '" + narrow(*length) + "'", false);
        }
    }
    if (auto const range = queryHeader(request, WINHTTP_QUERY_CONTENT_RANGE))
        head.contentRange = narrow(*range);
    return head;
}

// Reads the body up to `limit` bytes, straight into the response: into room for all the bytes the
// server promised, else into room grown as they come. A body read whole leaves the connection to the
// session's pool for the next request; one cut short closes it.
void readBody(HINTERNET request, std::uint64_t limit, HttpResponse& response)
{
    std::string& body = response.body;
    std::uint64_t const expected = std::min(limit, response.head.contentLength.value_or(kFirstReadBytes));
    body.resize(static_cast<std::size_t>(expected));
    std::size_t size = 0;
    response.bodyComplete = false;
    while (size < limit) {
        if (size == body.size())
            body.resize(static_cast<std::size_t>(
                std::min<std::uint64_t>(limit, std::max<std::uint64_t>(2 * body.size(), kFirstReadBytes))));
        auto const wanted = static_cast<DWORD>(std::min<std::size_t>(body.size() - size, kMaxReadBytes));
        DWORD read = 0;
        if (!WinHttpReadData(request, body.data() + size, wanted, &read)) {
            body.resize(size);
            return;
        }
        if (read == 0) {
            body.resize(size);
            // The server said the body is over; it is whole when it matches the length promised.
            response.bodyComplete = !response.head.contentLength || *response.head.contentLength == size;
            return;
        }
        size += read;
    }
    body.resize(size);
    response.bodyComplete = true;
}

struct UrlParts {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring pathAndQuery;
    bool secure = false;
};

UrlParts crackUrl(std::wstring const& url)
{
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof(components);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    components.dwExtraInfoLength = static_cast<DWORD>(-1);
    components.dwSchemeLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &components))
        throwLastError();
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS)
        throw HttpTransportError(errorText(ERROR_WINHTTP_UNRECOGNIZED_SCHEME), false);
    UrlParts parts;
    parts.host.assign(components.lpszHostName, components.dwHostNameLength);
    parts.port = components.nPort;
    parts.pathAndQuery.assign(components.lpszUrlPath, components.dwUrlPathLength);
    if (components.lpszExtraInfo)
        parts.pathAndQuery.append(components.lpszExtraInfo, components.dwExtraInfoLength);
    if (parts.pathAndQuery.empty())
        parts.pathAndQuery = L"/";
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    return parts;
}

// WinHTTP in synchronous mode. One session pools the TCP (and TLS) connections of all requests;
// one connection handle per server names where requests go.
class WinHttpTransport : public HttpTransport {
public:
    explicit WinHttpTransport(std::chrono::milliseconds timeout)
        : mSession(WinHttpOpen(L"MorvidRender", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0))
    {
        if (!mSession)
            throwLastError();
        auto const milliseconds = static_cast<int>(timeout.count());
        if (!WinHttpSetTimeouts(mSession.get(), milliseconds, milliseconds, milliseconds, milliseconds))
            throwLastError();
        // The wait for the response head has a timeout of its own.
        DWORD responseTimeout = static_cast<DWORD>(milliseconds);
        if (!WinHttpSetOption(mSession.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                              sizeof(responseTimeout)))
            throwLastError();
    }

    HttpResponse get(std::string const& url, std::optional<ByteRange> range, BodyLimit const& bodyLimit) override
    {
        UrlParts const parts = crackUrl(widen(url));
        InternetHandle request(WinHttpOpenRequest(connection(parts.host, parts.port), L"GET",
                                                  parts.pathAndQuery.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                  WINHTTP_DEFAULT_ACCEPT_TYPES, parts.secure ? WINHTTP_FLAG_SECURE : 0));
        if (!request)
            throwLastError();
        if (range) {
            std::wstring const header =
                L"Range: bytes=" + std::to_wstring(range->offset) + L"-" + std::to_wstring(range->last());
            if (!WinHttpAddRequestHeaders(request.get(), header.c_str(), static_cast<DWORD>(header.size()),
                                          WINHTTP_ADDREQ_FLAG_ADD))
                throwLastError();
        }
        if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !WinHttpReceiveResponse(request.get(), nullptr))
            throwLastError();
        HttpResponse response;
        response.head = readHead(request.get());
        readBody(request.get(), bodyLimit(response.head), response);
        return response;
    }

private:
    HINTERNET connection(std::wstring const& host, INTERNET_PORT port)
    {
        std::lock_guard const lock(mMutex);
        auto const key = std::make_pair(host, port);
        auto it = mConnections.find(key);
        if (it == mConnections.end()) {
            InternetHandle connection(WinHttpConnect(mSession.get(), host.c_str(), port, 0));
            if (!connection)
                throwLastError();
            it = mConnections.emplace(key, std::move(connection)).first;
        }
        return it->second.get();
    }

    InternetHandle mSession;
    std::mutex mMutex;
    // Declared after the session: connections close before it.
    std::map<std::pair<std::wstring, INTERNET_PORT>, InternetHandle> mConnections;
};

} // namespace

std::unique_ptr<HttpTransport> createSystemHttpTransport(std::chrono::milliseconds timeout)
{
    return std::make_unique<WinHttpTransport>(timeout);
}

} // namespace Core

#else

namespace Core {

std::unique_ptr<HttpTransport> createSystemHttpTransport(std::chrono::milliseconds)
{
    throw std::runtime_error("this build has no HTTP client: http and https locations need the Windows build");
}

} // namespace Core

#endif
