#pragma once

#include "math/vertexcontainer.h"
#include "octree/octree.h"

#include <stop_token>
#include <string>

namespace Octree {

// Turns one node into point vertices: the loader behind the renderer's vertex cache.
// Potree: the node's own points, then the attributes of every external attribute location,
// then complete(); a node missing from the hierarchy throws std::runtime_error "Failed to
// fetch node by id". Entwine: the node's points with colors, or grays from intensities.
// Returns false when stopped or when the points cannot be decoded; `error`, when given,
// then receives the reason.
bool loadNodeVertices(Octree const& octree, OctreeNodeId id, Render::VertexContainer& out, std::stop_token stopToken,
                      std::string* error = nullptr);
// Starts fetching the node's bytes where every read costs a round trip (a data set on a web
// server), so that they arrive while other nodes decode. Does nothing for local data sets, and
// for a node whose hierarchy cannot be read: loading it then reports why.
void prefetchNodeVertices(Octree const& octree, OctreeNodeId id);

} // namespace Octree
