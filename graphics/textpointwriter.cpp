#include "graphics/textpointwriter.h"

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace Graphics {

TextPointWriter::TextPointWriter(std::filesystem::path path, std::optional<Math::Point<double, 3>> origin)
    : mPath(std::move(path))
    , mOrigin(std::move(origin))
    , mFile(mPath, std::ios::out | std::ios::trunc)
{
    if (!mFile.is_open())
        throw std::runtime_error(fmt::format("cannot create the point file \"{}\"", mPath.generic_string()));
    mFile.precision(kPrecision);
    mFile << kHeaderLine;
    checkStream();
}

void TextPointWriter::writeLine(float x, float y, float z, Math::Color const& color)
{
    if (mOrigin)
        mFile << fmt::format("{} {} {}", mOrigin->x() + x, mOrigin->y() + y, mOrigin->z() + z);
    else
        mFile << x << ' ' << y << ' ' << z;
    mFile << ' ' << int{color.r()} << ' ' << int{color.g()} << ' ' << int{color.b()}
          << ' ' << int{color.a()} << '\n';
}

void TextPointWriter::close()
{
    if (!mFile.is_open())
        return;
    mFile.close();
    checkStream();
}

void TextPointWriter::checkStream() const
{
    if (!mFile)
        throw std::runtime_error(fmt::format("cannot write the point file \"{}\"", mPath.generic_string()));
}

} // namespace Graphics
