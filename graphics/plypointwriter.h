#pragma once

#include "graphics/coloredpoint.h"
#include "math/color.h"
#include "math/point.h"

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace Graphics {

// Writes colored points as a binary little-endian PLY file: x, y, z as float32 and red, green,
// blue, alpha as uchar, 16 bytes a point. Given an origin, positions are written as float64 after
// adding the origin in double precision (28 bytes a point), so that georeferenced coordinates keep
// their digits. The header's vertex count is a fixed-width field, so that points can be appended in
// several batches and the count rewritten in place on close.
class PlyPointWriter {
public:
    static constexpr std::size_t kRecordSize = 16;
    static constexpr std::size_t kOriginRecordSize = 28;
    static constexpr std::size_t kCountFieldWidth = 20;

    // Creates (or replaces) the file and writes the header with a count of 0. Throws
    // std::runtime_error naming the file when it cannot be created.
    explicit PlyPointWriter(std::filesystem::path path, std::optional<Math::Point<double, 3>> origin = std::nullopt);
    PlyPointWriter(PlyPointWriter const&) = delete;
    PlyPointWriter& operator=(PlyPointWriter const&) = delete;
    // Closes an open file without reporting failures; call close() to learn about them.
    ~PlyPointWriter();

    template <ColoredPointRange Records>
    void append(Records const& records)
    {
        appendEncoded(encodeRecords(records, mOrigin ? kOriginRecordSize : kRecordSize,
                                    [this](float x, float y, float z, Math::Color const& color, char* out) {
                                        encodeRecord(x, y, z, color, out);
                                    }),
                      std::ranges::size(records));
    }

    // Writes the final count into the header and closes the file. Throws std::runtime_error
    // naming the file when any write failed.
    void close();

    std::size_t count() const { return mCount; }
    std::filesystem::path const& path() const { return mPath; }

    // The complete header for `count` points, with float64 positions when `doublePositions`.
    static std::string header(std::size_t count, bool doublePositions = false);

private:
    void encodeRecord(float x, float y, float z, Math::Color const& color, char* out) const;
    void appendEncoded(std::string_view bytes, std::size_t count);
    void finish();
    [[noreturn]] void throwWriteError() const;

    std::filesystem::path mPath;
    std::optional<Math::Point<double, 3>> mOrigin;
    std::ofstream mFile;
    std::streamoff mCountPosition = 0;
    std::size_t mCount = 0;
};

} // namespace Graphics
