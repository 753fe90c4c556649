// Per-class statistics of the experimental semivariogram, computed in one
// pass over the point pairs without storing a pair array where the pairs can
// be generated on the fly. Plain C++: no Python types, and no exception but
// std::bad_alloc from the buffers (per worker O(n_lags), and one run).
//
// A pair with distance d belongs to class k exactly when
// edges[k] <= d < edges[k + 1] (half-open classes, NaN in no class).
//
// The pairs {r, c}, r > c, of n points are cut into square tiles of
// kTileEdge points a side (tile (I, J), I >= J, holds the rows of block I
// against the columns of block J). A point set is first put in spatial order
// (spatial_order), so that the kLeafEdge consecutive points of a leaf are a
// compact cluster and a tile is visited leaf pair by leaf pair
// (leaf_tiles.hpp): a leaf pair whose boxes bound its distances to at most
// kMaxLeafClasses classes is summed in registers, the others pair by pair.
// Either way every pair adds to a plain per-class sum of its lane, lane =
// c % 8, which is folded into the tile's compensated class sums every few
// rows; the tile's rounded class sums are merged exactly (an expansion sum,
// correctly rounded at the end). The order of every floating-point operation
// is therefore fixed by the tile alone: any thread count, any grouping of
// tiles and any instruction-set path give the same bits. The passes run on
// the workers of parallel/threads.hpp, started for the pass and joined
// before it returns.
//
// Euclidean distances are sqrt(sum over columns, in column order, of the
// squared coordinate differences), the same operations as SciPy's pdist; no
// multiply is fused with an add (-ffp-contract=off, no FMA target).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "krige/kernel/class_locator.hpp"
#include "krige/kernel/exact_sum.hpp"

namespace orv::krige {

// The number of unordered pairs of n points.
inline std::size_t triangle_pairs(std::size_t n) { return n < 2 ? 0 : n * (n - 1) / 2; }

// The tile edge of a point set, the same for every set: a multiple of the
// eight lanes, and a row of a tile is a run long enough for the vector loops.
constexpr std::size_t kTileEdge = 256;

// Pair data computed elsewhere, aligned: the semivariance of pair m is
// 0.5 * squared_difference[m]. Cut into fixed runs of consecutive pairs.
struct CondensedPairs {
  const double* distance;
  const double* squared_difference;
  std::size_t size;
};

// Square n-by-n distance matrix, row-major with row_stride elements between
// row starts (columns contiguous); only entries below the diagonal
// (row > column) are read. values holds one sampled value per point.
struct DistanceMatrix {
  const double* data;
  std::size_t n;
  std::size_t row_stride;
  const double* values;
};

// n points of dims coordinates each, row-major (contiguous), with one value
// per point (values may be null for the range pass). Geographic points have
// dims == 2: longitude, latitude in degrees; their distances are
// great-circle kilometres (great_circle.hpp).
struct Points {
  const double* coordinates;
  std::size_t n;
  std::size_t dims;
  const double* values;
  bool geographic;
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

// The exactly merged tile sums of a set of tiles, per class.
class ClassPartials {
 public:
  explicit ClassPartials(std::size_t n_lags = 0)
      : count_(n_lags, 0), distance_(n_lags), semivariance_(n_lags) {}

  std::size_t n_lags() const { return count_.size(); }
  void add_tile_class(std::size_t k, std::uint64_t count, double distance, double semivariance);
  // Exact; `other` must have as many classes (std::invalid_argument).
  void merge(const ClassPartials& other);
  ClassTotals totals() const;

  std::string serialize() const;
  // false on malformed input.
  bool deserialize(const std::string& bytes);

 private:
  std::vector<std::uint64_t> count_;
  std::vector<ExactSum> distance_;
  std::vector<ExactSum> semivariance_;
};

// The whole pair set. threads: 0 for parallel::default_threads() (the usable
// cores, or OMP_NUM_THREADS, lowered by threadpoolctl's limit), 1 for the
// calling thread only; it never changes the result. An exception of any
// worker (std::bad_alloc for a class count too large for memory) reaches the
// caller once every worker has stopped.
DistanceRange distance_range(const CondensedPairs& pairs, unsigned threads = 0);
DistanceRange distance_range(const DistanceMatrix& matrix, unsigned threads = 0);
DistanceRange distance_range(const Points& points, unsigned threads = 0);
// The same bits without a pass over the pairs (projected_range.hpp,
// geographic_range.hpp); nullopt where no such shortcut applies.
std::optional<DistanceRange> shortcut_range(const Points& points, unsigned threads = 0);

ClassTotals class_totals(const CondensedPairs& pairs, const ClassEdges& edges,
                         unsigned threads = 0);
ClassTotals class_totals(const DistanceMatrix& matrix, const ClassEdges& edges,
                         unsigned threads = 0);
ClassTotals class_totals(const Points& points, const ClassEdges& edges, unsigned threads = 0);

// A block of the pair set on the calling thread: the points of `rows`
// against those of `columns`; with `diagonal` the two are the same block and
// only row > column counts. When both blocks are slices of the points in
// spatial_order starting at multiples of `tile` = kTileEdge, the tiles are
// those of class_totals, so that merging the partials of blocks covering
// every pair once gives its bits. Both blocks must have the same geographic flag and dims.
DistanceRange block_range(const Points& rows, const Points& columns, bool diagonal);
ClassPartials block_classes(const Points& rows, const Points& columns, const ClassEdges& edges,
                            std::size_t tile, bool diagonal);

// out[i * m + j] = great-circle km from point i of a (n rows of lon, lat) to
// point j of b, by the very code of the passes.
void great_circle_matrix(const double* a, std::size_t n, const double* b, std::size_t m,
                         double* out, unsigned threads = 0);

}  // namespace orv::krige
