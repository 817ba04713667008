#include "graphics/plypointwriter.h"

#include <fmt/format.h>

#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace Graphics {

namespace {

// The records are float32 copied as they are in memory.
static_assert(std::endian::native == std::endian::little, "PLY records are written little-endian");

constexpr std::string_view kHeaderStart = "ply\nformat binary_little_endian 1.0\nelement vertex ";
constexpr std::string_view kPropertyFormat = "property {0} x\nproperty {0} y\nproperty {0} z\n"
                                             "property {1} red\nproperty {1} green\nproperty {1} blue\n"
                                             "property {1} alpha\n";
// The property block ends with a newline of its own, so the header has an empty line here.
constexpr std::string_view kHeaderEnd = "\nend_header\n";

std::string countField(std::size_t count)
{
    return fmt::format("{0:>20}", count);
}

} // namespace

PlyPointWriter::PlyPointWriter(std::filesystem::path path, std::optional<Math::Point<double, 3>> origin)
    : mPath(std::move(path))
    , mOrigin(std::move(origin))
    , mFile(mPath, std::ios::binary | std::ios::trunc)
{
    if (!mFile.is_open())
        throw std::runtime_error(fmt::format("cannot create the PLY file \"{}\"", mPath.generic_string()));
    mFile.write(kHeaderStart.data(), static_cast<std::streamsize>(kHeaderStart.size()));
    mCountPosition = static_cast<std::streamoff>(kHeaderStart.size());
    std::string const rest = header(0, mOrigin.has_value()).substr(kHeaderStart.size());
    mFile.write(rest.data(), static_cast<std::streamsize>(rest.size()));
    if (!mFile)
        throwWriteError();
}

PlyPointWriter::~PlyPointWriter()
{
    if (mFile.is_open()) {
        try {
            finish();
        } catch (...) {
            // Destructors must not throw; close() is the way to learn about failures.
        }
    }
}

std::string PlyPointWriter::header(std::size_t count, bool doublePositions)
{
    std::string text(kHeaderStart);
    text += countField(count);
    text += '\n';
    text += fmt::format(fmt::runtime(kPropertyFormat), doublePositions ? "double" : "float", "uchar");
    text += kHeaderEnd;
    return text;
}

void PlyPointWriter::encodeRecord(float x, float y, float z, Math::Color const& color, char* out) const
{
    if (mOrigin) {
        double const position[] = {mOrigin->x() + x, mOrigin->y() + y, mOrigin->z() + z};
        std::memcpy(out, position, sizeof(position));
        out += sizeof(position);
    } else {
        float const position[] = {x, y, z};
        std::memcpy(out, position, sizeof(position));
        out += sizeof(position);
    }
    // Math::Color holds blue first; the file wants red first.
    out[0] = static_cast<char>(color.r());
    out[1] = static_cast<char>(color.g());
    out[2] = static_cast<char>(color.b());
    out[3] = static_cast<char>(color.a());
}

void PlyPointWriter::appendEncoded(std::string_view bytes, std::size_t count)
{
    if (!mFile.is_open())
        throw std::logic_error(fmt::format("the PLY file \"{}\" is already closed", mPath.generic_string()));
    mFile.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!mFile)
        throwWriteError();
    mCount += count;
}

void PlyPointWriter::close()
{
    if (!mFile.is_open())
        return;
    finish();
}

void PlyPointWriter::finish()
{
    if (mCount > 0 && mFile) {
        std::streampos const end = mFile.tellp();
        mFile.seekp(mCountPosition);
        std::string const field = countField(mCount);
        mFile.write(field.data(), static_cast<std::streamsize>(field.size()));
        mFile.seekp(end);
    }
    bool const written = static_cast<bool>(mFile);
    mFile.close();
    if (!written || !mFile)
        throwWriteError();
}

void PlyPointWriter::throwWriteError() const
{
    throw std::runtime_error(fmt::format("cannot write the PLY file \"{}\"", mPath.generic_string()));
}

} // namespace Graphics
