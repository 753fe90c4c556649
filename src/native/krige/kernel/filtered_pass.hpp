// The semivariogram pass over the pairs of points ordered in space, for the
// public variogram: any increasing class edges, a distance cut-off whose cost
// follows the pairs inside it, pair counts, the Matheron or the
// Cressie-Hawkins sums and a direction filter. Plain C++: no Python types, no
// exceptions other than std::bad_alloc.
//
// The points are cut into leaves of kLeafPoints consecutive points and the
// leaves arranged in a binary tree whose nodes carry bounding boxes. For the
// points in spatial order (spatial_order) a leaf is a compact cluster, so
// whole leaves beyond the cut-off are skipped by their boxes, and rows of a
// leaf beyond another leaf's box row by row. Every pair of a leaf pair that
// is kept goes through the row kernels (the distance, the semivariance, the
// class on the class grid) and the eight-lane class slots, as in the other
// passes. The boxes only ever skip pairs farther apart than the cut-off, with a
// margin for rounding: which pairs count is decided by their distances alone.
//
// The work unit is a row leaf: its points against those of every leaf at or
// before it that is within reach, in a fixed order, summed in a fixed order,
// and rounded into exact per-class sums. The order of every floating-point
// operation is therefore fixed by the unit: any thread count, any split of
// the units into parts, any instruction-set path give the same bits.
#pragma once

#include <cstddef>
#include <vector>

#include "krige/kernel/class_locator.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige {

// Points per leaf; a multiple of 8, the lane count of the class slots.
constexpr std::size_t kLeafPoints = 64;

// The most classes the pass takes (the class slots grow with them).
constexpr std::size_t kMaxFilteredClasses = 4096;

// What a pair adds to its class besides its distance and a count of one.
enum class Estimator {
  kMatheron,  // half the squared difference of the two values
  kCressie,   // the square root of the absolute difference (Cressie-Hawkins)
};

// Only pairs whose separation lies within `tolerance` degrees of the azimuth
// `azimuth` (degrees clockwise from north), in either sense. The separation of
// projected points is (x, y) of the first two coordinates, x east and y north;
// of geographic points it is (dlon * (cos lat1 + cos lat2) / 2, dlat) in
// degrees, dlon taken the short way round. A tolerance of 90 or more keeps
// every pair; a pair of equal points has every direction.
struct Direction {
  double azimuth;
  double tolerance;
};

// A permutation of 0 .. n - 1 that orders the points in space: the leaves of
// the order are the cells of a median split of the point set, always along
// the widest extent (of the unit vectors, for geographic points), and each
// leaf lists its points in increasing index. A function of the coordinates
// alone. A NaN coordinate sorts after every number.
std::vector<std::size_t> spatial_order(const Points& points);

// The units of a part: units u with u % parts == part (all of them for
// part 0 of 1). part < parts.
struct Part {
  std::size_t index = 0;
  std::size_t count = 1;
};

// The number of work units (row leaves) of n points.
std::size_t filtered_units(std::size_t n);

// The smallest and largest distance of the pairs the pass visits for a
// cut-off (all pairs when it is infinite) among the units of `part`; NaN
// for both when it visits none. The boxes never skip a pair at most `cutoff`
// apart, so the smallest is that of all pairs whenever that one is at most
// the cut-off. NaN distances are passed over.
struct DistanceExtremes {
  double smallest;
  double largest;
};
DistanceExtremes visited_range(const Points& points, double cutoff, Part part,
                               unsigned threads = 0);

// Per class: pairs, distance sums and estimator sums (half squared
// differences, or roots of absolute differences) of the pairs of the units of
// `part` that lie in a class and, with `direction`, in that direction. The
// edges must not decrease and number at most kMaxFilteredClasses + 1
// (otherwise nothing is counted); pairs at or beyond the last edge are
// skipped by the boxes where they can be.
ClassPartials filtered_classes(const Points& points, const ClassEdges& edges, Estimator estimator,
                               const Direction* direction, Part part, unsigned threads = 0);

}  // namespace orv::krige
