// Per-class statistics of the experimental semivariogram, computed in one pass
// over the point pairs without storing a pair array where the pairs can be
// generated on the fly. Plain C++: no Python types, no exceptions other than
// std::bad_alloc from the few small buffers.
//
// A pair with distance d belongs to class k exactly when
// edges[k] <= d < edges[k + 1] (half-open classes, NaN in no class). Sums are
// compensated (Neumaier), so class means are within a few rounding errors of
// the exact mean and agree with numpy's pairwise-summed mean far inside
// 1e-12 relative. Work is split into chunks that depend only on
// the input sizes, and partial sums are merged in chunk order, so results are
// bit-identical for any thread count.
//
// Euclidean distances are sqrt(sum over columns, in column order, of the
// squared coordinate differences), the same operations as SciPy's pdist; they
// match it bit for bit as long as the build does not contract a * b + c into
// fused multiply-adds (no FMA target, or -ffp-contract=off).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orv::krige {

// Pair data computed elsewhere, aligned: the semivariance of pair m is
// 0.5 * squared_difference[m].
struct CondensedPairs {
  const double *distance;
  const double *squared_difference;
  std::size_t size;
};

// Square n-by-n distance matrix, row-major with row_stride elements between
// row starts (columns contiguous); only entries below the diagonal
// (row > column) are read. values holds one sampled value per point.
struct DistanceMatrix {
  const double *data;
  std::size_t n;
  std::size_t row_stride;
  const double *values;
};

// n points of dims coordinates each, row-major (contiguous), with one value
// per point; distances between them are Euclidean.
struct ProjectedPoints {
  const double *coordinates;
  std::size_t n;
  std::size_t dims;
  const double *values;
};

// n_lags classes; data holds n_lags + 1 edges.
struct ClassEdges {
  const double *data;
  std::size_t n_lags;
};

// Smallest and largest pair distance. Like numpy's min/max, any NaN distance
// makes both NaN; with no pair at all both are NaN and pairs is 0.
struct DistanceRange {
  double min;
  double max;
  std::size_t pairs;
};

// Per class: number of pairs, sum of their distances and of their
// semivariances (NaN and infinities propagate as in a plain sum).
struct ClassTotals {
  std::vector<std::uint64_t> count;
  std::vector<double> distance_sum;
  std::vector<double> semivariance_sum;
};

// Mean distance and mean semivariance of the classes kept.
struct Semivariogram {
  std::vector<double> lags;
  std::vector<double> semivariance;
};

// Edges of n_lags equal classes: edges[k] = d_min + dd * k for k < n_lags
// with dd = (d_max - d_min) / n_lags, each step rounded like numpy's
// d_min + dd * np.arange(n_lags); the last edge is the larger of
// d_max + 0.001 and the next double above d_max, so that the largest distance
// is inside the last class even where adding 0.001 changes nothing.
std::vector<double> class_edges(double d_min, double d_max, std::size_t n_lags);

// threads: worker count, 0 for the hardware's; it never changes the result.
DistanceRange distance_range(const CondensedPairs &pairs, unsigned threads = 0);
DistanceRange distance_range(const DistanceMatrix &matrix, unsigned threads = 0);
DistanceRange distance_range(const ProjectedPoints &points, unsigned threads = 0);

ClassTotals class_totals(const CondensedPairs &pairs, const ClassEdges &edges,
                         unsigned threads = 0);
ClassTotals class_totals(const DistanceMatrix &matrix, const ClassEdges &edges,
                         unsigned threads = 0);
ClassTotals class_totals(const ProjectedPoints &points, const ClassEdges &edges,
                         unsigned threads = 0);

// Means per class (sum / count, NaN for an empty class), keeping in class
// order only the classes whose mean semivariance is not NaN.
Semivariogram nonempty_class_means(const ClassTotals &totals);

}  // namespace orv::krige
