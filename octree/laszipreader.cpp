#include "octree/laszipreader.h"

#include <stdexcept>
#include <utility>

namespace Las {

LaszipReader::LaszipReader(std::string const& bytes, std::string fileName)
    : mFileName(std::move(fileName)), mStream(bytes)
{
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
