#include "octree/lasheader.h"

#include "octree/littleendian.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace Las {
namespace {

using Octree::readLittleEndian;

constexpr std::size_t kMinimumHeaderSize = 227;
constexpr std::size_t kLas14HeaderSize = 375;
constexpr std::size_t kVlrHeaderSize = 54;
constexpr std::uint8_t kCompressedFlag = 0x80;
constexpr std::uint8_t kMaxPointFormat = 10;
constexpr std::uint64_t kMaxPointsPerCompressedByte = 64;
// Smallest record of each point data format 0..10.
constexpr std::uint16_t kMinimumRecordLength[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

} // namespace

Header parseHeader(std::string_view bytes, std::string const& fileName)
{
    auto fail = [&](std::string const& problem) { throw std::runtime_error(fileName + ": " + problem); };
    if (bytes.size() < kMinimumHeaderSize || bytes.substr(0, 4) != "LASF")
        fail("not a LAS file (no LASF header)");

    Header header;
    header.versionMajor = readLittleEndian<std::uint8_t>(bytes, 24);
    header.versionMinor = readLittleEndian<std::uint8_t>(bytes, 25);
    header.headerSize = readLittleEndian<std::uint16_t>(bytes, 94);
    header.pointDataOffset = readLittleEndian<std::uint32_t>(bytes, 96);
    header.numberOfVlrs = readLittleEndian<std::uint32_t>(bytes, 100);
    std::uint8_t const formatByte = readLittleEndian<std::uint8_t>(bytes, 104);
    header.compressed = (formatByte & kCompressedFlag) != 0;
    header.pointFormat = formatByte & 0x3f;
    header.pointRecordLength = readLittleEndian<std::uint16_t>(bytes, 105);
    header.pointCount = readLittleEndian<std::uint32_t>(bytes, 107);
    for (int axis = 0; axis < 3; ++axis) {
        header.scale[axis] = readLittleEndian<double>(bytes, 131 + 8 * static_cast<std::size_t>(axis));
        header.offset[axis] = readLittleEndian<double>(bytes, 155 + 8 * static_cast<std::size_t>(axis));
    }
    if (header.versionMajor == 1 && header.versionMinor >= 4 && header.headerSize >= kLas14HeaderSize &&
        bytes.size() >= kLas14HeaderSize && header.pointCount == 0)
        header.pointCount = readLittleEndian<std::uint64_t>(bytes, 247);

    if (header.versionMajor != 1 || header.versionMinor > 4)
        fail("unsupported LAS version " + std::to_string(header.versionMajor) + "." +
             std::to_string(header.versionMinor));
    if (header.headerSize < kMinimumHeaderSize || header.headerSize > bytes.size())
        fail("header size " + std::to_string(header.headerSize) + " does not fit the file");
    if (header.pointDataOffset < header.headerSize || header.pointDataOffset > bytes.size())
        fail("point data offset " + std::to_string(header.pointDataOffset) + " lies outside the file");
    if (header.numberOfVlrs > (header.pointDataOffset - header.headerSize) / kVlrHeaderSize)
        fail(std::to_string(header.numberOfVlrs) + " variable length records do not fit before the point data");
    if (header.pointFormat > kMaxPointFormat)
        fail("unknown point data format " + std::to_string(header.pointFormat));
    if (header.pointRecordLength < kMinimumRecordLength[header.pointFormat])
        fail("point record length " + std::to_string(header.pointRecordLength) + " is too short for format " +
             std::to_string(header.pointFormat));
    for (int axis = 0; axis < 3; ++axis) {
        if (!(header.scale[axis] > 0.0) || !std::isfinite(header.scale[axis]) || !std::isfinite(header.offset[axis]))
            fail("invalid scale or offset");
    }
    // Uncompressed records must fit; a compressed stream takes well over a byte for 64 points.
    std::uint64_t const available = bytes.size() - header.pointDataOffset;
    bool const fits = header.compressed ? header.pointCount / kMaxPointsPerCompressedByte <= available
                                        : header.pointCount <= available / header.pointRecordLength;
    if (!fits)
        fail(std::to_string(header.pointCount) + " points do not fit in the file");
    return header;
}

std::vector<Vlr> readVlrs(std::string_view bytes, Header const& header, std::string const& fileName)
{
    std::vector<Vlr> vlrs;
    std::size_t at = header.headerSize;
    for (std::uint32_t i = 0; i < header.numberOfVlrs; ++i) {
        bool fits = at + kVlrHeaderSize <= header.pointDataOffset;
        std::size_t const length = fits ? readLittleEndian<std::uint16_t>(bytes, at + 20) : 0;
        fits = fits && at + kVlrHeaderSize + length <= header.pointDataOffset;
        if (!fits)
            throw std::runtime_error(fileName + ": variable length record " + std::to_string(i) +
                                     " runs into the point data");
        vlrs.push_back({fixedText(bytes, at + 2, 16), readLittleEndian<std::uint16_t>(bytes, at + 18),
                        bytes.substr(at + kVlrHeaderSize, length)});
        at += kVlrHeaderSize + length;
    }
    return vlrs;
}

std::string fixedText(std::string_view bytes, std::size_t offset, std::size_t size)
{
    std::string text(bytes.substr(offset, size));
    text.resize(std::strlen(text.c_str()));
    return text;
}

} // namespace Las
