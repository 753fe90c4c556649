// The smallest and largest squared pair distance of projected points without
// visiting every pair: the smallest from nearest-neighbour searches, the
// largest from the few points that can reach the set's diameter. Each
// candidate pair is evaluated with the pair pass's own expression (the sum
// over columns, in column order, of the squared coordinate differences), so
// the result is the pass's bits exactly.
#pragma once

#include <optional>

#include "krige/kernel/row_kernels.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige {

// nullopt where the shortcut cannot be exact or would not save work: fewer
// than two points, other than one or two dimensions, any coordinate not
// finite or beyond 2^500 in magnitude (a square could overflow), distances
// so small that their squares lose relative precision, or so many points
// near the diameter that checking their pairs costs a good part of a pass.
// The result never depends on `threads`.
std::optional<KeyRange> projected_key_range(const Points& points, unsigned threads);

}  // namespace orv::krige
