#include "samplescene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace Tools {
namespace {

constexpr double kBlockSize = 120.0; // metres, the scene spans [0, kBlockSize]^2
constexpr std::uint32_t kSeed = 20261206;

// Classification codes with their LAS meaning.
enum class LasClass : std::uint8_t {
    Ground = 2,
    LowVegetation = 3,
    HighVegetation = 5,
    Building = 6,
    Road = 11,
};

struct Rgb {
    double r, g, b;
};

struct Building {
    double x0, y0, x1, y1; // footprint
    double eaves;          // wall height
    double ridge;          // roof ridge height above the eaves, along x
    Rgb wall;
    Rgb roof;
};

struct Tree {
    double x, y;
    double trunkHeight;
    double crownRadius;
};

struct Scanner {
    double x, y, z;
};

class SceneBuilder {
public:
    explicit SceneBuilder(std::size_t pointCount) : mTarget(pointCount), mRandom(kSeed)
    {
        mScene.hasRgb = mScene.hasIntensity = mScene.hasClassification = mScene.hasScanIndex = true;
        mScene.points.reserve(pointCount);
        placeBuildings();
        placeTrees();
    }

    Octree::SourcePoints build()
    {
        // Shares of the point count per surface type, roughly as a street scan sees them.
        addGround(share(0.42));
        addBuildings(share(0.30));
        addTrees(share(0.22));
        addShrubs(mTarget - mScene.points.size());
        return std::move(mScene);
    }

private:
    std::size_t share(double fraction) const { return static_cast<std::size_t>(fraction * mTarget); }

    double uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(mRandom); }
    double normal(double sigma) { return std::normal_distribution<double>(0.0, sigma)(mRandom); }

    static double terrain(double x, double y)
    {
        return 0.8 * std::sin(x * 0.045) * std::cos(y * 0.038) + 0.3 * std::sin(x * 0.13 + y * 0.07) + 0.002 * x * y / 10.0;
    }

    static bool onRoad(double x, double y) { return std::abs(y - 60.0 - 4.0 * std::sin(x * 0.03)) < 5.0; }

    bool insideBuilding(double x, double y) const
    {
        return std::any_of(mBuildings.begin(), mBuildings.end(), [&](Building const& b) {
            return x > b.x0 - 0.5 && x < b.x1 + 0.5 && y > b.y0 - 0.5 && y < b.y1 + 0.5;
        });
    }

    void placeBuildings()
    {
        std::array<Rgb, 4> const walls{{{0.86, 0.82, 0.74}, {0.78, 0.74, 0.70}, {0.92, 0.90, 0.86}, {0.70, 0.62, 0.55}}};
        std::array<Rgb, 3> const roofs{{{0.62, 0.22, 0.16}, {0.35, 0.33, 0.36}, {0.55, 0.30, 0.20}}};
        for (int row = 0; row < 2; ++row) {
            for (int column = 0; column < 4; ++column) {
                double const x0 = 8.0 + column * 28.0 + uniform(0.0, 4.0);
                double const y0 = row == 0 ? 18.0 + uniform(0.0, 6.0) : 76.0 + uniform(0.0, 6.0);
                double const width = uniform(12.0, 18.0);
                double const depth = uniform(10.0, 16.0);
                mBuildings.push_back({x0, y0, x0 + width, y0 + depth, uniform(5.0, 11.0), uniform(2.0, 4.5),
                                      walls[static_cast<std::size_t>(row * 4 + column) % walls.size()],
                                      roofs[static_cast<std::size_t>(column + row) % roofs.size()]});
            }
        }
    }

    void placeTrees()
    {
        while (mTrees.size() < 36) {
            double const x = uniform(3.0, kBlockSize - 3.0);
            double const y = uniform(3.0, kBlockSize - 3.0);
            if (onRoad(x, y) || insideBuilding(x, y))
                continue;
            mTrees.push_back({x, y, uniform(2.0, 4.0), uniform(2.0, 4.5)});
        }
    }

    // Intensity falls with the range to the nearest scanner, as in a real scan.
    std::uint16_t intensity(double reflectance, double x, double y, double z, std::int32_t& scanIndex) const
    {
        double best = std::numeric_limits<double>::max();
        for (std::size_t i = 0; i < mScanners.size(); ++i) {
            double const range = std::hypot(x - mScanners[i].x, y - mScanners[i].y, z - mScanners[i].z);
            if (range < best) {
                best = range;
                scanIndex = static_cast<std::int32_t>(i);
            }
        }
        double const value = reflectance * 65535.0 / (1.0 + best / 80.0);
        return static_cast<std::uint16_t>(std::clamp(value, 0.0, 65535.0));
    }

    void add(double x, double y, double z, Rgb color, double reflectance, LasClass classification)
    {
        double const shade = 1.0 + normal(0.04);
        auto channel = [&](double value) {
            return static_cast<std::uint16_t>(std::clamp(value * shade, 0.0, 1.0) * 65535.0);
        };
        Octree::SourcePoint point;
        point.position = {x, y, z};
        point.rgb = {channel(color.r), channel(color.g), channel(color.b)};
        point.intensity = intensity(reflectance, x, y, z, point.scanIndex);
        point.classification = static_cast<std::uint8_t>(classification);
        mScene.points.push_back(point);
    }

    void addGround(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            double const x = uniform(0.0, kBlockSize);
            double const y = uniform(0.0, kBlockSize);
            double const z = terrain(x, y) + normal(0.01);
            if (onRoad(x, y)) {
                bool const marking = std::abs(y - 60.0 - 4.0 * std::sin(x * 0.03)) < 0.15 && std::fmod(x, 6.0) < 3.0;
                add(x, y, z, marking ? Rgb{0.95, 0.95, 0.9} : Rgb{0.30, 0.30, 0.32}, marking ? 0.9 : 0.25, LasClass::Road);
            } else {
                double const patch = 0.5 + 0.5 * std::sin(x * 0.21) * std::sin(y * 0.17);
                add(x, y, z, {0.28 + 0.12 * patch, 0.45 + 0.1 * patch, 0.18}, 0.45, LasClass::Ground);
            }
        }
    }

    void addBuildings(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            Building const& b = mBuildings[i % mBuildings.size()];
            double const width = b.x1 - b.x0;
            double const depth = b.y1 - b.y0;
            double const base = terrain((b.x0 + b.x1) / 2, (b.y0 + b.y1) / 2);
            if (uniform(0.0, 1.0) < 0.55) {
                // Walls: pick a side by its length, then a point on it.
                double const along = uniform(0.0, 2.0 * (width + depth));
                double const z = base + uniform(0.0, b.eaves);
                double x = b.x0;
                double y = b.y0;
                if (along < width)
                    x += along;
                else if (along < width + depth)
                    x = b.x1, y += along - width;
                else if (along < 2 * width + depth)
                    x = b.x1 - (along - width - depth), y = b.y1;
                else
                    y = b.y1 - (along - 2 * width - depth);
                bool const window = std::fmod(z - base, 3.0) > 1.0 && std::fmod(z - base, 3.0) < 2.2 &&
                                    std::fmod(x + y, 4.0) < 1.6;
                add(x, y, z, window ? Rgb{0.18, 0.22, 0.28} : b.wall, window ? 0.15 : 0.7, LasClass::Building);
            } else {
                // A pitched roof, ridge along x through the middle of the footprint.
                double const x = uniform(b.x0, b.x1);
                double const y = uniform(b.y0, b.y1);
                double const fromRidge = std::abs(y - (b.y0 + b.y1) / 2) / (depth / 2);
                add(x, y, base + b.eaves + b.ridge * (1.0 - fromRidge), b.roof, 0.5, LasClass::Building);
            }
        }
    }

    void addTrees(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            Tree const& tree = mTrees[i % mTrees.size()];
            double const base = terrain(tree.x, tree.y);
            if (uniform(0.0, 1.0) < 0.08) {
                double const angle = uniform(0.0, 2.0 * std::numbers::pi);
                double const z = base + uniform(0.0, tree.trunkHeight + tree.crownRadius * 0.5);
                add(tree.x + 0.2 * std::cos(angle), tree.y + 0.2 * std::sin(angle), z, {0.36, 0.25, 0.17}, 0.4,
                    LasClass::HighVegetation);
                continue;
            }
            // Leaves fill the crown, denser towards its surface.
            Eigen::Vector3d direction(normal(1.0), normal(1.0), normal(1.0));
            direction.normalize();
            double const radius = tree.crownRadius * std::cbrt(uniform(0.35, 1.0));
            Eigen::Vector3d const centre(tree.x, tree.y, base + tree.trunkHeight + tree.crownRadius);
            Eigen::Vector3d const leaf = centre + radius * direction.cwiseProduct(Eigen::Vector3d(1.0, 1.0, 1.25));
            double const light = 0.75 + 0.25 * direction.z();
            add(leaf.x(), leaf.y(), leaf.z(), {0.16 * light, 0.42 * light, 0.12 * light}, 0.55, LasClass::HighVegetation);
        }
    }

    void addShrubs(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            double const x = uniform(0.0, kBlockSize);
            double const y = uniform(0.0, kBlockSize);
            if (onRoad(x, y) || insideBuilding(x, y)) {
                --i;
                continue;
            }
            double const height = 0.6 * std::pow(std::max(0.0, std::sin(x * 0.31) * std::sin(y * 0.27)), 2.0);
            add(x, y, terrain(x, y) + uniform(0.05, 0.1 + height), {0.24, 0.50, 0.16}, 0.5, LasClass::LowVegetation);
        }
    }

    std::size_t mTarget;
    std::mt19937_64 mRandom;
    Octree::SourcePoints mScene;
    std::vector<Building> mBuildings;
    std::vector<Tree> mTrees;
    std::array<Scanner, 4> const mScanners{{{30.0, 55.0, 1.8}, {90.0, 65.0, 1.8}, {60.0, 10.0, 1.8}, {60.0, 110.0, 1.8}}};
};

} // namespace

Octree::SourcePoints makeSampleScene(std::size_t pointCount)
{
    return SceneBuilder(pointCount).build();
}

} // namespace Tools
