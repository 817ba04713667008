#pragma once

#include "math/point.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Las {

// The fields of a LAS 1.0–1.4 public header block that readers need.
struct Header {
    unsigned versionMajor = 0;
    unsigned versionMinor = 0;
    std::uint16_t headerSize = 0;
    std::uint32_t pointDataOffset = 0;
    std::uint32_t numberOfVlrs = 0;
    std::uint8_t pointFormat = 0;
    bool compressed = false;
    std::uint16_t pointRecordLength = 0;
    std::uint64_t pointCount = 0;
    Math::Point<double, 3> scale = Math::Point<double, 3>::Ones();
    Math::Point<double, 3> offset = Math::Point<double, 3>::Zero();
};

// Parses and checks the header against the size of the whole file, so that no reader
// trusts a count or an offset that points beyond it. Throws std::runtime_error naming `fileName`.
Header parseHeader(std::string_view bytes, std::string const& fileName);

// A variable length record; the payload points into the file's bytes.
struct Vlr {
    std::string userId;
    std::uint16_t recordId = 0;
    std::string_view payload;
};

// The records between the header and the point data; throws std::runtime_error naming
// `fileName` when one runs into the point data.
std::vector<Vlr> readVlrs(std::string_view bytes, Header const& header, std::string const& fileName);

// A text field padded with NUL bytes, without the padding.
std::string fixedText(std::string_view bytes, std::size_t offset, std::size_t size);

} // namespace Las
