#include "octree/laszipreader.h"

#include "octree/lasheader.h"
#include "octree/littleendian.h"

#include <stdexcept>
#include <utility>

namespace Las {
namespace {

constexpr std::uint16_t kLaszipRecord = 22204;
constexpr std::size_t kLaszipRecordFixedBytes = 34;
constexpr std::size_t kLaszipItemBytes = 6;
constexpr std::uint16_t kLastLaszipItemType = 14;

// LASzip frees pointers it never set when it gives up on a malformed "laszip encoded" record,
// so the record is checked here first: its items must fill it and make up a point record.
void checkLaszipRecord(std::string const& bytes, std::string const& fileName)
{
    Header const header = parseHeader(bytes, fileName);
    if (!header.compressed)
        return;
    for (Vlr const& vlr : readVlrs(bytes, header, fileName)) {
        if (vlr.userId != "laszip encoded" || vlr.recordId != kLaszipRecord)
            continue;
        std::string_view const record = vlr.payload;
        std::size_t const items =
            record.size() >= kLaszipRecordFixedBytes ? Octree::readLittleEndian<std::uint16_t>(record, 32) : 0;
        bool valid = items > 0 && record.size() == kLaszipRecordFixedBytes + items * kLaszipItemBytes;
        std::size_t recordLength = 0;
        for (std::size_t i = 0; valid && i < items; ++i) {
            std::size_t const at = kLaszipRecordFixedBytes + i * kLaszipItemBytes;
            valid = Octree::readLittleEndian<std::uint16_t>(record, at) <= kLastLaszipItemType;
            recordLength += Octree::readLittleEndian<std::uint16_t>(record, at + 2);
        }
        if (!valid || recordLength != header.pointRecordLength)
            throw std::runtime_error(fileName + ": the LASzip record does not describe the points");
        return;
    }
    throw std::runtime_error(fileName + ": compressed, but without a LASzip record");
}

} // namespace

LaszipReader::LaszipReader(std::string const& bytes, std::string fileName)
    : mFileName(std::move(fileName)), mStream(bytes)
{
    checkLaszipRecord(bytes, mFileName);
    if (laszip_create(&mHandle) != 0 || !mHandle)
        throw std::runtime_error(mFileName + ": cannot create a LASzip reader");
    laszip_BOOL compressed = 0;
    if (laszip_open_reader_stream(mHandle, mStream, &compressed) != 0 ||
        laszip_get_point_pointer(mHandle, &mPoint) != 0) {
        std::string const message = mFileName + ": " + error();
        laszip_destroy(mHandle);
        throw std::runtime_error(message);
    }
}

LaszipReader::~LaszipReader()
{
    laszip_close_reader(mHandle);
    laszip_destroy(mHandle);
}

laszip_point const& LaszipReader::readPoint(std::uint64_t index)
{
    if (laszip_read_point(mHandle) != 0)
        throw std::runtime_error(mFileName + ": point " + std::to_string(index) + ": " + error());
    return *mPoint;
}

void LaszipReader::coordinates(double (&xyz)[3])
{
    laszip_get_coordinates(mHandle, xyz);
}

std::string LaszipReader::error() const
{
    laszip_CHAR* text = nullptr;
    laszip_get_error(mHandle, &text);
    return text ? text : "unknown LASzip error";
}

} // namespace Las
