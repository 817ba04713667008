#pragma once

#include "math/color.h"

#include <concepts>
#include <cstddef>
#include <ranges>
#include <string>

namespace Graphics {

// A record with a float position x, y, z and a Math::Color, as the point files store it.
template <class Record>
concept ColoredPoint = requires(Record const& record) {
    { record.x } -> std::convertible_to<float>;
    { record.y } -> std::convertible_to<float>;
    { record.z } -> std::convertible_to<float>;
    { record.color } -> std::convertible_to<Math::Color>;
};

// A contiguous sequence of such records.
template <class Range>
concept ColoredPointRange = std::ranges::contiguous_range<Range> && ColoredPoint<std::ranges::range_value_t<Range>>;

// The records as one block of `recordSize` bytes each, written by encode(x, y, z, color, out).
template <ColoredPointRange Records, class Encode>
std::string encodeRecords(Records const& records, std::size_t recordSize, Encode const& encode)
{
    std::string bytes(std::ranges::size(records) * recordSize, '\0');
    char* out = bytes.data();
    for (auto const& record : records) {
        encode(record.x, record.y, record.z, record.color, out);
        out += recordSize;
    }
    return bytes;
}

} // namespace Graphics
