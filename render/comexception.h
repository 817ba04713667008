#pragma once

#include "render/export.h"

#include <exception>
#include <string>

namespace Render {

// Thrown for every failed HRESULT; carries the code and the system's text for it.
class MORVID_RENDER_API ComException : public std::exception {
public:
    explicit ComException(long result);

    char const* what() const noexcept override { return mMessage.c_str(); }
    long result() const noexcept { return mResult; }

private:
    long mResult;
    std::string mMessage;
};

// Throws ComException when `result` reports a failure.
inline void throwIfFailed(long result)
{
    if (result < 0)
        throw ComException(result);
}

} // namespace Render
