#pragma once

#include "octree/boxtestresult.h"
#include "octree/octree.h"
#include "octree/potreelocation.h"
#include "octree/potreewriter.h"

#include "support/tempfolder.h"

#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <string>

namespace OctreeTest {

using TestSupport::TempFolder;

// The shared real-world data sets: LAS files, Potree and Entwine trees with their manifests.
inline std::filesystem::path const kRealWorld = std::filesystem::path(MORVID_TEST_DATA_DIR) / "realworld";

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

// A Potree data set written into a temp folder of its own, with `maxPointsPerNode` points a node.
struct WrittenDataSet {
    WrittenDataSet(std::string const& name, Octree::SourcePoints const& points, std::size_t maxPointsPerNode,
                   PoTree::WriterOptions options = {})
        : folder(name)
    {
        options.maxPointsPerNode = maxPointsPerNode;
        summary = PoTree::writePotree(points, folder.path(), options);
    }

    std::filesystem::path file(std::string const& name) const { return folder.path() / name; }
    // A fresh location and octree over the files as they are now.
    std::shared_ptr<PoTree::FileSystemLocation> location() const
    {
        return std::make_shared<PoTree::FileSystemLocation>(folder.path());
    }
    std::shared_ptr<Octree::Octree> open() const { return std::make_shared<Octree::Octree>(location(), 1.0); }

    TempFolder folder;
    PoTree::WriteSummary summary;
};

// A region of world space whose points a point walk keeps.
class Region {
public:
    virtual ~Region() = default;
    virtual bool testPosition(Math::Point<float, 3> const& point) const = 0;
    virtual Octree::BoxTestResult testBox(Math::NBoundingBox<float, 3> const& box) const = 0;
};

// The filter of a point walk: levels down to maxLevel, nodes coarser than minSpacing, and the points of
// the region (all of them without one).
struct WalkFilter {
    Region const* region = nullptr;
    std::size_t maxLevel = std::numeric_limits<std::size_t>::max();
    float minSpacing = 0.0f;

    bool testLevel(std::size_t level) const { return level <= maxLevel; }
    bool testSpacing(float spacing) const { return spacing > minSpacing; }
    Octree::BoxTestResult testBox(Math::NBoundingBox<float, 3> const& box) const
    {
        return region ? region->testBox(box) : Octree::BoxTestResult::Inside;
    }
    bool testPosition(Math::Point<float, 3> const& point) const { return !region || region->testPosition(point); }
};

} // namespace OctreeTest
