#include "graphics/textpointwriter.h"

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace Graphics {

TextPointWriter::TextPointWriter(std::filesystem::path path)
    : mPath(std::move(path))
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
    mFile << x << ' ' << y << ' ' << z << ' ' << int{color.r()} << ' ' << int{color.g()} << ' ' << int{color.b()}
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
