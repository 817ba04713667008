#pragma once

#include "core/hashing.h"
#include "octree/octreenodeid.h"

#include <Eigen/Core>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace Render {

// Names per-point values of a node (mesh distances, clip values) by everything they are computed from:
// the node, the input they measure against (a distance mesh or clipping region, by identity) and the
// cloud's world matrix. Clouds of one data set share their caches; another input or another placement
// of the cloud is another entry, never a wrong hit.
struct NodeValueKey {
    Octree::OctreeNodeId node;
    void const* input = nullptr;
    Eigen::Matrix4f world = Eigen::Matrix4f::Identity();

    bool operator==(NodeValueKey const& other) const
    {
        return node == other.node && input == other.input && world == other.world;
    }
};

struct NodeValueKeyHash {
    std::size_t operator()(NodeValueKey const& key) const
    {
        std::size_t seed = std::hash<Octree::OctreeNodeId>{}(key.node);
        Core::hashCombine(seed, std::hash<void const*>{}(key.input));
        Core::hashCombine(seed, static_cast<std::size_t>(Core::fnv1a64(key.world.data(), sizeof(float) * 16)));
        return seed;
    }
};

} // namespace Render
