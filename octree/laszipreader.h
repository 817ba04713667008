#pragma once

#include <laszip/laszip_api.h>

#include <cstdint>
#include <sstream>
#include <string>

namespace Las {

// A LASzip reader over a LAS or LAZ file held in memory; the handle is closed and destroyed
// with the object. The caller checks the header with parseHeader first: LASzip trusts its counts.
class LaszipReader {
public:
    // Throws std::runtime_error naming `fileName` when LASzip cannot open the bytes.
    LaszipReader(std::string const& bytes, std::string fileName);
    ~LaszipReader();
    LaszipReader(LaszipReader const&) = delete;
    LaszipReader& operator=(LaszipReader const&) = delete;

    // Decompresses the next point, number `index` for the message when it fails.
    laszip_point const& readPoint(std::uint64_t index);
    // The last point's coordinates with the file's scale and offset applied.
    void coordinates(double (&xyz)[3]);

private:
    std::string error() const;

    std::string mFileName;
    std::istringstream mStream;
    laszip_POINTER mHandle = nullptr;
    laszip_point* mPoint = nullptr;
};

} // namespace Las
