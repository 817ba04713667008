#include "render/comexception.h"

#include <windows.h>

#include <cstdio>

namespace Render {
namespace {

constexpr unsigned long kFirstDispatchError = 0x80040200UL;
constexpr unsigned long kLastDispatchError = 0x8004FFFFUL;

// The system's text for an HRESULT, without its trailing line break; empty
// when the system has none.
std::string systemMessage(long result)
{
    char* buffer = nullptr;
    DWORD const length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(result), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buffer), 0,
        nullptr);
    if (buffer == nullptr)
        return {};
    std::string text(buffer, length);
    LocalFree(buffer);
    if (text.size() >= 2 && text.back() == '\n') {
        text.pop_back();
        if (text.back() == '\r')
            text.pop_back();
    }
    return text;
}

std::string fallbackMessage(long result)
{
    // The fallback texts are limited to 31 characters, like the system's own.
    char text[32];
    auto const code = static_cast<unsigned long>(result);
    if (code > kFirstDispatchError && code <= kLastDispatchError)
        std::snprintf(text, sizeof text, "IDispatch error #%d", static_cast<int>(code - kFirstDispatchError));
    else
        std::snprintf(text, sizeof text, "Unknown error 0x%0lX", code);
    return text;
}

} // namespace

ComException::ComException(long result) : mResult(result), mMessage(systemMessage(result))
{
    if (mMessage.empty())
        mMessage = fallbackMessage(result);
}

} // namespace Render
