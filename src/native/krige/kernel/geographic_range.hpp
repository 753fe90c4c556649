// The smallest and largest great-circle distance of geographic points
// without computing every pair's distance. The points are put in spatial
// order and cut into leaves; the chord bounds of two leaves' unit-vector
// boxes bound the haversines of their pairs, so only the leaf pairs that can
// hold the smallest or the largest haversine are evaluated, with the pass's
// own haversine expression. As in the full pass, the extreme distances are
// then taken over the pairs whose haversine lies within a relative 1e-9 of
// an extreme, so the result is the full pass's bits.
#pragma once

#include <optional>

#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige {

// nullopt where the shortcut does not apply or would not save work: fewer
// than two points, a coordinate that is NaN or infinite, or so many leaf
// pairs near an extreme that evaluating them costs a good part of a pass.
// The result never depends on `threads`.
std::optional<DistanceRange> geographic_range(const Points& points, unsigned threads);

}  // namespace orv::krige
