#pragma once

#include "octree/potreewriter.h"

#include "support/tempfolder.h"

#include <filesystem>
#include <random>
#include <string>

namespace OctreeTest {

using TestSupport::TempFolder;

// Points on the millimetre grid with every attribute set, from a fixed seed.
inline Octree::SourcePoints randomPoints(std::size_t count, unsigned seed = 7)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> coordinate(0, 20000);
    std::uniform_int_distribution<int> channel(0, 65535);
    Octree::SourcePoints points;
    points.hasRgb = points.hasIntensity = points.hasClassification = points.hasScanIndex = true;
    for (std::size_t i = 0; i < count; ++i) {
        Octree::SourcePoint point;
        point.position = {1000.0 + coordinate(random) * 0.001, 2000.0 + coordinate(random) * 0.001,
                          coordinate(random) * 0.0005 * 0.001 * 1000.0};
        point.rgb = {static_cast<std::uint16_t>(channel(random)), static_cast<std::uint16_t>(channel(random)),
                     static_cast<std::uint16_t>(channel(random))};
        point.intensity = static_cast<std::uint16_t>(channel(random));
        point.classification = static_cast<std::uint8_t>(channel(random) & 0xff);
        point.scanIndex = channel(random) - 30000;
        points.points.push_back(point);
    }
    return points;
}

} // namespace OctreeTest
