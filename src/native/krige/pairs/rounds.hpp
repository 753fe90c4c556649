// The steps of the tiled runner between and after its two rounds: the range
// of all pairs from the block ranges, the class edges, and the class means
// from the merged class sums. Each is the kriging core's own rule
// (krige/core/classes.hpp), so every route computes them the same way.
#pragma once

#include "krige/core/common.hpp"

namespace orv::krige::tiles {

extern const pyrt::FunctionSpec kMergeRanges;
extern const pyrt::FunctionSpec kClassEdges;
extern const pyrt::FunctionSpec kClassMeans;

}  // namespace orv::krige::tiles
