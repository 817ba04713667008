#pragma once

#include "octree/potreemetadata.h"
#include "octree/sourcepoints.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>

namespace PoTree {

struct WriterOptions {
    Encoding encoding = Encoding::Default;
    // Quantisation step of the stored integer positions, per axis. When absent, the source's own
    // grid is kept, or 0.001 for a source without one.
    std::optional<Math::Point<double, 3>> scale;
    // A node with more points keeps a sample and passes the rest to its children.
    std::size_t maxPointsPerNode = 20'000;
    // Levels per hierarchy chunk; nodes below are reached through proxy records.
    unsigned hierarchyStepSize = 4;
};

struct WriteSummary {
    std::size_t nodes = 0;
    std::size_t hierarchyChunks = 0;
    unsigned depth = 0;
};

// The grid a data set is written on: stored integer * scale + origin. The origin lies at or
// below the points' minimum; on a source grid of the same scale it is a point of that grid, so
// that every stored integer is the source's integer minus a constant.
struct Quantization {
    Math::Point<double, 3> scale;
    Math::Point<double, 3> origin;
};
Quantization quantization(Octree::SourcePoints const& source, WriterOptions const& options);

// Stored integer position of a point: its offset from `origin` in units of `scale`, rounded.
std::array<std::uint32_t, 3> quantize(Math::Point<double, 3> const& position, Math::Point<double, 3> const& origin,
                                      Math::Point<double, 3> const& scale);

// Writes a Potree 2.0 data set ("metadata.json", "hierarchy.bin", "octree.bin") into
// `folder`, which is created if needed, with every attribute of the source and its coordinate
// system as the metadata's "projection". `progress` receives the fraction done. Throws
// std::runtime_error naming the file on write errors, std::invalid_argument when the points
// do not fit the scale (more than 2^32 steps across); returns an empty summary when stopped.
WriteSummary writePotree(Octree::SourcePoints const& source, std::filesystem::path const& folder,
                         WriterOptions const& options, std::function<void(double)> const& progress = {},
                         std::stop_token stopToken = {});

} // namespace PoTree
