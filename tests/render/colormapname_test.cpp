#include "render/colormapname.h"

#include <gtest/gtest.h>

#include <set>

namespace {

// A map sent to another map's spectrum would color the CPU side (legends, exports) unlike the picture.
TEST(ColorMapName, EveryColorMapHasASpectrumOfItsOwn)
{
    using Math::Spectrum::SpectrumNames;
    using Render::ColorMap;
    std::set<SpectrumNames> spectra;
    for (int map = 0; map <= static_cast<int>(ColorMap::LevelOfAccuracyImperial); ++map)
        spectra.insert(Render::spectrumName(static_cast<ColorMap>(map)));
    EXPECT_EQ(spectra.size(), 13u);
    EXPECT_EQ(Render::spectrumName(ColorMap::Inferno), SpectrumNames::Inferno);
    EXPECT_EQ(Render::spectrumName(ColorMap::LevelOfAccuracyImperial), SpectrumNames::LevelOfAccuracyImperial);
    EXPECT_EQ(Render::spectrumName(static_cast<ColorMap>(77)), SpectrumNames::Turbo);
}

} // namespace
