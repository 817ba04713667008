// Writes the data sets of the streaming benchmarks into a cache folder, each once: the sample scene
// of the host program, and two towns made of its 120 m blocks side by side, 10 million points on
// 5 x 1 blocks and 50 million on 5 x 5, so that both have the same density and octree cube and
// differ only in area. Usage: bench_scenes <cache folder>

#include "benchsupport.h"

#include "octree/potreewriter.h"
#include "tools/samplescene.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t kSampleScenePoints = 2'400'000;
constexpr std::size_t kPointsPerBlock = 2'000'000;
constexpr double kBlockSize = 120.0;

Octree::SourcePoints town(unsigned blocksAlongX, unsigned blocksAlongY)
{
    Octree::SourcePoints const block = Tools::makeSampleScene(kPointsPerBlock);
    Octree::SourcePoints scene = block;
    scene.points.clear();
    scene.points.reserve(block.points.size() * blocksAlongX * blocksAlongY);
    for (unsigned y = 0; y < blocksAlongY; ++y) {
        for (unsigned x = 0; x < blocksAlongX; ++x) {
            Math::Point<double, 3> const shift(kBlockSize * x, kBlockSize * y, 0.0);
            for (Octree::SourcePoint point : block.points) {
                point.position += shift;
                scene.points.push_back(point);
            }
        }
    }
    return scene;
}

void writeOnce(std::filesystem::path const& folder, Octree::SourcePoints (*make)())
{
    if (std::filesystem::exists(folder / "metadata.json"))
        return;
    Bench::progress("generating " + folder.string());
    Octree::SourcePoints const scene = make();
    PoTree::WriterOptions options;
    options.encoding = PoTree::Encoding::Brotli;
    std::filesystem::path const partial = folder.string() + ".partial-" + std::to_string(getpid());
    std::filesystem::remove_all(partial);
    int shownPercent = -1;
    PoTree::writePotree(scene, partial, options, [&](double done) {
        int const percent = static_cast<int>(100.0 * done);
        if (percent / 10 != shownPercent / 10)
            std::fprintf(stderr, "  %d%%\n", shownPercent = percent);
    });
    std::error_code renameError;
    std::filesystem::rename(partial, folder, renameError);
    if (renameError) {
        // Another run finished the same scene first.
        std::filesystem::remove_all(partial);
        if (!std::filesystem::exists(folder / "metadata.json"))
            throw std::runtime_error("cannot move " + partial.string() + " to " + folder.string());
    }
}

} // namespace

int main(int argc, char** argv)
{
    return Bench::runBenchmark("bench_scenes", [&](Bench::Results&) {
        if (argc != 2)
            throw std::invalid_argument("usage: bench_scenes <cache folder>");
        std::filesystem::path const cache = argv[1];
        std::filesystem::create_directories(cache);
        writeOnce(cache / "sample-scene", [] { return Tools::makeSampleScene(kSampleScenePoints); });
        writeOnce(cache / "town-10m", [] { return town(5, 1); });
        writeOnce(cache / "town-50m", [] { return town(5, 5); });
    });
}
