#pragma once

#include "graphics/coloredpoint.h"
#include "math/boundingbox.h"

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>

namespace Graphics {

// Where the points of a LAS file lie: the integer grid (stored * scale + offset) and the
// coordinate system (WKT or "EPSG:code", empty for none).
struct LasFrame {
    Math::Point<double, 3> scale = Math::Point<double, 3>::Constant(0.001);
    Math::Point<double, 3> offset = Math::Point<double, 3>::Zero();
    std::string crs;
};

// Writes colored points as an uncompressed LAS 1.2 file of point format 2 (position, one
// return, 16-bit color). Positions are `reference` plus the records' float positions, stored
// on the frame's grid. The header's count and bounds are rewritten on close, so that points can
// be appended in batches. The coordinate system goes into a WKT record, or for an EPSG code
// into a GeoTIFF key directory.
class LasPointWriter {
public:
    static constexpr std::size_t kHeaderSize = 227;
    static constexpr std::size_t kRecordSize = 26;

    // Creates (or replaces) the file and writes the header. Throws std::runtime_error naming the
    // file when it cannot be created.
    LasPointWriter(std::filesystem::path path, LasFrame frame, Math::Point<double, 3> const& reference);
    LasPointWriter(LasPointWriter const&) = delete;
    LasPointWriter& operator=(LasPointWriter const&) = delete;
    // Closes an open file without reporting failures; call close() to learn about them.
    ~LasPointWriter();

    template <ColoredPointRange Records>
    void append(Records const& records)
    {
        appendEncoded(encodeRecords(records, kRecordSize,
                                    [this](float x, float y, float z, Math::Color const& color, char* out) {
                                        encodeRecord(x, y, z, color, out);
                                    }),
                      std::ranges::size(records));
    }

    // Writes the final count and bounds into the header and closes the file. Throws
    // std::runtime_error naming the file when any write failed.
    void close();

    std::size_t count() const { return mCount; }

private:
    void encodeRecord(float x, float y, float z, Math::Color const& color, char* out);
    void appendEncoded(std::string_view bytes, std::size_t count);
    void finish();
    [[noreturn]] void throwWriteError() const;

    std::filesystem::path mPath;
    LasFrame mFrame;
    Math::Point<double, 3> mReference;
    std::ofstream mFile;
    std::size_t mCount = 0;
    Math::NBoundingBox<double, 3> mBounds;
};

} // namespace Graphics
