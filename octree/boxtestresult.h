#pragma once

namespace Octree {

// How a box lies against a filter's region: no point of it can pass, its points must be
// tested one by one, or every point of it passes.
enum class BoxTestResult { Outside, Intersecting, Inside };

} // namespace Octree
