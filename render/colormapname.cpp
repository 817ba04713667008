#include "render/colormapname.h"

namespace Render {

Math::Spectrum::SpectrumNames spectrumName(ColorMap const& colorMap)
{
    using Math::Spectrum::SpectrumNames;
    switch (colorMap) {
    case ColorMap::Inferno: return SpectrumNames::Inferno;
    case ColorMap::Magma: return SpectrumNames::Magma;
    case ColorMap::Viridis: return SpectrumNames::Viridis;
    case ColorMap::Plasma: return SpectrumNames::Plasma;
    case ColorMap::Gray: return SpectrumNames::Gray;
    case ColorMap::Bone: return SpectrumNames::Bone;
    case ColorMap::RedWhiteBlue: return SpectrumNames::RedWhiteBlue;
    case ColorMap::LevelOfAccuracy: return SpectrumNames::LevelOfAccuracy;
    case ColorMap::PassFail: return SpectrumNames::PassFail;
    case ColorMap::TrafficLight: return SpectrumNames::TrafficLight;
    case ColorMap::CoolWarm: return SpectrumNames::CoolWarm;
    case ColorMap::LevelOfAccuracyImperial: return SpectrumNames::LevelOfAccuracyImperial;
    default: return SpectrumNames::Turbo;
    }
}

} // namespace Render
