#pragma once

#include "math/color.h"

#include <cstdint>

namespace Math::Spectrum {

// The library's spectra. The values are stable identifiers shared with the renderer's
// color map selection; numbers not listed are not assigned.
enum class SpectrumNames : std::int32_t {
    Gray = 0,
    Bone = 2,
    Turbo = 8,
    Inferno = 9,
    Plasma = 10,
    Magma = 11,
    Viridis = 12,
    RedWhiteBlue = 13,
    LevelOfAccuracy = 14,
    PassFail = 15,
    TrafficLight = 16,
    CoolWarm = 17,
    LevelOfAccuracyImperial = 18,
};

// The perceptually uniform black-red-yellow map, as a degree-6 polynomial fit per channel
// (the same fit the point shader uses).
struct Inferno {
    // t is clamped to [0, 1]; the color is opaque.
    static Color color(double t);
};

} // namespace Math::Spectrum

namespace Math::Boundary {

// Values beyond the ends of a spectrum take the color of the nearest end.
struct ClampToBorder {
    static double apply(double t);
};

} // namespace Math::Boundary

namespace Math {

// Maps a value range onto a spectrum: value offset goes to t = 0, offset + extent to t = 1,
// and the boundary policy decides about values outside.
template <class SpectrumType, class BoundaryType>
class ColorMapping {
public:
    ColorMapping(double offset, double extent) : mOffset(offset), mExtent(extent) {}

    Color operator()(double value) const { return SpectrumType::color(BoundaryType::apply((value - mOffset) / mExtent)); }

    double offset() const { return mOffset; }
    double extent() const { return mExtent; }

private:
    double mOffset;
    double mExtent;
};

} // namespace Math
