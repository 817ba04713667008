#pragma once

#include "math/color.h"

#include <concepts>
#include <ranges>

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

} // namespace Graphics
