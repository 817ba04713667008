#pragma once

#include "graphics/coloredpoint.h"
#include "math/color.h"
#include "math/point.h"

#include <filesystem>
#include <fstream>
#include <optional>

namespace Graphics {

// Writes colored points as a text file: the line "X Y Z Red Green Blue Alpha", then one line a
// point with x, y, z at 7 significant digits and the four channels as integers 0-255. Given an
// origin, positions are written after adding it in double precision, with the fewest digits that
// read back as the same double.
class TextPointWriter {
public:
    static constexpr int kPrecision = 7;
    static constexpr char kHeaderLine[] = "X Y Z Red Green Blue Alpha\n";

    // Creates (or replaces) the file and writes the header line. Throws std::runtime_error naming
    // the file when it cannot be created.
    explicit TextPointWriter(std::filesystem::path path, std::optional<Math::Point<double, 3>> origin = std::nullopt);
    TextPointWriter(TextPointWriter const&) = delete;
    TextPointWriter& operator=(TextPointWriter const&) = delete;
    ~TextPointWriter() = default;

    template <ColoredPointRange Records>
    void append(Records const& records)
    {
        for (auto const& record : records)
            writeLine(record.x, record.y, record.z, record.color);
        checkStream();
    }

    // Flushes and closes the file. Throws std::runtime_error naming the file when any write failed.
    void close();

    std::filesystem::path const& path() const { return mPath; }

private:
    void writeLine(float x, float y, float z, Math::Color const& color);
    void checkStream() const;

    std::filesystem::path mPath;
    std::optional<Math::Point<double, 3>> mOrigin;
    std::ofstream mFile;
};

} // namespace Graphics
