#include "graphics/laspointwriter.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace Graphics {
namespace {

constexpr std::uint8_t kPointFormat = 2;
constexpr std::uint16_t kWktRecord = 2112;
constexpr std::uint16_t kGeoKeyDirectoryRecord = 34735;
constexpr std::uint16_t kProjectedCrsKey = 3072;
constexpr std::uint16_t kGeographicCrsKey = 2048;
constexpr std::uint16_t kModelTypeKey = 1024;
constexpr std::uint16_t kModelTypeProjected = 1;
constexpr std::uint16_t kModelTypeGeographic = 2;
// EPSG codes of geographic systems lie in this range; the others are taken as projected.
constexpr unsigned kFirstGeographicCode = 4000;
constexpr unsigned kLastGeographicCode = 4999;
// Offsets of header fields that close() rewrites.
constexpr std::size_t kPointCountAt = 107;
constexpr std::size_t kBoundsAt = 179;
// One return of one: return number 1, number of returns 1.
constexpr std::uint8_t kSingleReturn = 0x09;
// 8-bit color channels spread over the 16-bit range.
constexpr std::uint16_t kChannelScale = 257;

template <class T>
void put(std::string& bytes, std::size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

template <class T>
void appendValue(std::string& bytes, T value)
{
    bytes.append(reinterpret_cast<char const*>(&value), sizeof(T));
}

void appendText(std::string& bytes, std::string_view text, std::size_t width)
{
    std::string field(text.substr(0, width));
    field.resize(width, '\0');
    bytes += field;
}

// The coordinate system as one variable length record, or nothing.
std::string coordinateSystemRecord(std::string const& crs)
{
    if (crs.empty())
        return {};
    std::string payload;
    std::uint16_t recordId = kWktRecord;
    unsigned code = 0;
    if (crs.starts_with("EPSG:") && std::sscanf(crs.c_str() + 5, "%u", &code) == 1 && code <= 0xffff) {
        bool const geographic = code >= kFirstGeographicCode && code <= kLastGeographicCode;
        recordId = kGeoKeyDirectoryRecord;
        for (std::uint16_t const value : {std::uint16_t{1}, std::uint16_t{1}, std::uint16_t{0}, std::uint16_t{2},
                                          kModelTypeKey, std::uint16_t{0}, std::uint16_t{1},
                                          geographic ? kModelTypeGeographic : kModelTypeProjected,
                                          geographic ? kGeographicCrsKey : kProjectedCrsKey, std::uint16_t{0},
                                          std::uint16_t{1}, static_cast<std::uint16_t>(code)})
            appendValue(payload, value);
    } else {
        payload = crs;
        payload += '\0';
    }
    std::string record;
    appendValue(record, std::uint16_t{0});
    appendText(record, "LASF_Projection", 16);
    appendValue(record, recordId);
    appendValue(record, static_cast<std::uint16_t>(payload.size()));
    appendText(record, "", 32);
    return record + payload;
}

std::string header(LasFrame const& frame, std::size_t vlrBytes, bool hasVlr)
{
    std::string bytes(LasPointWriter::kHeaderSize, '\0');
    std::memcpy(bytes.data(), "LASF", 4);
    put(bytes, 24, std::uint8_t{1});
    put(bytes, 25, std::uint8_t{2});
    std::memcpy(bytes.data() + 26, "morvid", 6);
    std::memcpy(bytes.data() + 58, "morvid query", 12);
    put(bytes, 94, static_cast<std::uint16_t>(LasPointWriter::kHeaderSize));
    put(bytes, 96, static_cast<std::uint32_t>(LasPointWriter::kHeaderSize + vlrBytes));
    put(bytes, 100, static_cast<std::uint32_t>(hasVlr ? 1 : 0));
    put(bytes, 104, kPointFormat);
    put(bytes, 105, static_cast<std::uint16_t>(LasPointWriter::kRecordSize));
    for (int axis = 0; axis < 3; ++axis) {
        put(bytes, 131 + 8 * static_cast<std::size_t>(axis), frame.scale[axis]);
        put(bytes, 155 + 8 * static_cast<std::size_t>(axis), frame.offset[axis]);
    }
    return bytes;
}

} // namespace

LasPointWriter::LasPointWriter(std::filesystem::path path, LasFrame frame, Math::Point<double, 3> const& reference)
    : mPath(std::move(path)), mFrame(std::move(frame)), mReference(reference), mFile(mPath, std::ios::binary | std::ios::trunc)
{
    if (!mFile.is_open())
        throw std::runtime_error(fmt::format("cannot create the LAS file \"{}\"", mPath.generic_string()));
    std::string const vlr = coordinateSystemRecord(mFrame.crs);
    std::string const bytes = header(mFrame, vlr.size(), !vlr.empty()) + vlr;
    mFile.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!mFile)
        throwWriteError();
}

LasPointWriter::~LasPointWriter()
{
    if (mFile.is_open()) {
        try {
            finish();
        } catch (...) {
            // Destructors must not throw; close() is the way to learn about failures.
        }
    }
}

void LasPointWriter::encodeRecord(float x, float y, float z, Math::Color const& color, char* out)
{
    Math::Point<double, 3> const position = mReference + Math::Point<double, 3>(x, y, z);
    for (int axis = 0; axis < 3; ++axis) {
        double const steps = std::round((position[axis] - mFrame.offset[axis]) / mFrame.scale[axis]);
        auto const stored = static_cast<std::int32_t>(std::clamp(
            steps, static_cast<double>(std::numeric_limits<std::int32_t>::lowest()),
            static_cast<double>(std::numeric_limits<std::int32_t>::max())));
        std::memcpy(out + 4 * axis, &stored, sizeof(stored));
    }
    mBounds.extend(position);
    out[14] = static_cast<char>(kSingleReturn);
    std::uint16_t const rgb[] = {static_cast<std::uint16_t>(color.r() * kChannelScale),
                                 static_cast<std::uint16_t>(color.g() * kChannelScale),
                                 static_cast<std::uint16_t>(color.b() * kChannelScale)};
    std::memcpy(out + 20, rgb, sizeof(rgb));
}

void LasPointWriter::appendEncoded(std::string_view bytes, std::size_t count)
{
    if (!mFile.is_open())
        throw std::logic_error(fmt::format("the LAS file \"{}\" is already closed", mPath.generic_string()));
    mFile.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!mFile)
        throwWriteError();
    mCount += count;
}

void LasPointWriter::close()
{
    if (mFile.is_open())
        finish();
}

void LasPointWriter::finish()
{
    if (mCount > 0 && mFile) {
        std::string fields;
        appendValue(fields, static_cast<std::uint32_t>(std::min<std::size_t>(mCount, std::numeric_limits<std::uint32_t>::max())));
        appendValue(fields, static_cast<std::uint32_t>(std::min<std::size_t>(mCount, std::numeric_limits<std::uint32_t>::max())));
        mFile.seekp(static_cast<std::streamoff>(kPointCountAt));
        mFile.write(fields.data(), static_cast<std::streamsize>(fields.size()));
        std::string bounds;
        for (int axis = 0; axis < 3; ++axis) {
            appendValue(bounds, mBounds.max()[axis]);
            appendValue(bounds, mBounds.min()[axis]);
        }
        mFile.seekp(static_cast<std::streamoff>(kBoundsAt));
        mFile.write(bounds.data(), static_cast<std::streamsize>(bounds.size()));
    }
    bool const written = static_cast<bool>(mFile);
    mFile.close();
    if (!written || !mFile)
        throwWriteError();
}

void LasPointWriter::throwWriteError() const
{
    throw std::runtime_error(fmt::format("cannot write the LAS file \"{}\"", mPath.generic_string()));
}

} // namespace Graphics
