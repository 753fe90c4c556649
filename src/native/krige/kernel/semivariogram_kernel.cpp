#include "krige/kernel/semivariogram_kernel.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "krige/kernel/geographic_range.hpp"
#include "krige/kernel/lane_slots.hpp"
#include "krige/kernel/leaf_tiles.hpp"
#include "krige/kernel/ordered_points.hpp"
#include "krige/kernel/pair_runs.hpp"
#include "krige/kernel/projected_range.hpp"
#include "parallel/threads.hpp"

namespace orv::krige {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Plain sums run over at most kFoldRuns runs of a tile per lane before they
// are folded into the tile's compensated sums: a few hundred terms each.
constexpr std::size_t kFoldRuns = 16;
// Eight lanes per class while the lane sums stay small; with very many
// classes one lane, so the per-thread buffers stay O(n_lags).
constexpr std::size_t kLanes = kSlotLanes;
constexpr std::size_t kMaxLanedClasses = 4096;

std::size_t lanes_for(std::size_t n_lags) { return n_lags <= kMaxLanedClasses ? kLanes : 1; }

// The class sums of one tile, for equal-width classes: the pairs are
// classified and summed by the row kernels into per-(class, lane) slots
// (plain sums), which are folded every fold_runs runs, in slot order, into
// the tile's compensated class sums; their rounded values go to the
// partials at the end of the tile. Distances the class grid cannot settle
// are looked up one by one.
class DenseAccumulator {
 public:
  DenseAccumulator(const ClassLocator& locator, std::size_t run)
      : locator_(locator),
        slots_(locator.n_lags()),
        distance_run_(run),
        semivariance_run_(run),
        classes_(run) {}

  static bool suits(const ClassLocator& locator) {
    return locator.ordered() && locator.n_lags() <= kMaxLanedClasses;
  }

  void add_run(const RowKernels& kernels, const PairRun& run) {
    kernels.prepare(locator_.grid(), run, distance_run_.data(), semivariance_run_.data(),
                    classes_.data());
    kernels.accumulate(locator_.grid(), slots_.data(), classes_.data(), distance_run_.data(),
                       semivariance_run_.data(), run.count);
    slots_.runs_added();
  }

  // The register sums of a leaf pair of `rows` rows.
  void add_leaf(std::size_t first, std::size_t classes, const LeafSums& sums, std::size_t rows) {
    slots_.add_leaf(first, classes, sums);
    slots_.runs_added(rows);
  }

  void finish_tile(ClassPartials& partials) { slots_.finish(partials); }

 private:
  const ClassLocator& locator_;
  LaneSlots slots_;
  std::vector<double> distance_run_;
  std::vector<double> semivariance_run_;
  std::vector<double> classes_;
};

// The class sums of one tile for any other edges (overlapping classes, or
// very many): plain per-(class, lane) sums of the slots touched, folded
// every kFoldRuns runs in the order first touched.
class SparseAccumulator {
 public:
  SparseAccumulator(const ClassLocator& locator, std::size_t run)
      : locator_(locator),
        distance_run_(run),
        semivariance_run_(run),
        classes_(run),
        lanes_(lanes_for(locator.n_lags())),
        slot_count_(locator.n_lags() * lanes_, 0),
        slot_distance_(locator.n_lags() * lanes_, 0.0),
        slot_semivariance_(locator.n_lags() * lanes_, 0.0),
        touched_slots_(locator.n_lags() * lanes_),
        class_count_(locator.n_lags(), 0),
        class_distance_(locator.n_lags()),
        class_semivariance_(locator.n_lags()),
        touched_classes_(locator.n_lags()) {}

  void add_run(const RowKernels& kernels, const PairRun& run) {
    const double* d = distance_run_.data();
    const double* g = semivariance_run_.data();
    const double* grid_class = classes_.data();
    const std::size_t count = run.count;
    kernels.prepare(locator_.grid(), run, distance_run_.data(), semivariance_run_.data(),
                    classes_.data());
    const std::size_t mask = lanes_ - 1;
    if (locator_.ordered()) {
      const double none = locator_.grid().none;
      for (std::size_t t = 0; t < count; ++t) {
        if (grid_class[t] == none) continue;
        const std::size_t k = grid_class[t] == kLookUp ? locator_.find(d[t])
                                                       : static_cast<std::size_t>(grid_class[t]);
        if (k != kNoClass) add(k * lanes_ + (t & mask), d[t], g[t]);
      }
    } else {
      for (std::size_t t = 0; t < count; ++t) {
        locator_.each_class(d[t], [&](std::size_t k) { add(k * lanes_ + (t & mask), d[t], g[t]); });
      }
    }
    if (++runs_ == kFoldRuns) fold();
  }

  void finish_tile(ClassPartials& partials) {
    fold();
    for (std::size_t m = 0; m < n_touched_classes_; ++m) {
      const std::size_t k = touched_classes_[m];
      partials.add_tile_class(k, class_count_[k], class_distance_[k].value(),
                              class_semivariance_[k].value());
      class_count_[k] = 0;
      class_distance_[k].reset();
      class_semivariance_[k].reset();
    }
    n_touched_classes_ = 0;
  }

 private:
  void add(std::size_t slot, double d, double g) {
    if (slot_count_[slot]++ == 0) touched_slots_[n_touched_slots_++] = slot;
    slot_distance_[slot] += d;
    slot_semivariance_[slot] += g;
  }

  void fold() {
    for (std::size_t m = 0; m < n_touched_slots_; ++m) {
      const std::size_t slot = touched_slots_[m];
      const std::size_t k = slot / lanes_;
      if (class_count_[k] == 0) touched_classes_[n_touched_classes_++] = k;
      class_count_[k] += slot_count_[slot];
      class_distance_[k].add(slot_distance_[slot]);
      class_semivariance_[k].add(slot_semivariance_[slot]);
      slot_count_[slot] = 0;
      slot_distance_[slot] = 0.0;
      slot_semivariance_[slot] = 0.0;
    }
    n_touched_slots_ = 0;
    runs_ = 0;
  }

  const ClassLocator& locator_;
  std::vector<double> distance_run_;
  std::vector<double> semivariance_run_;
  // The class on the grid of ordered edges, else kLookUp or none.
  std::vector<double> classes_;
  std::size_t lanes_;
  std::vector<std::uint64_t> slot_count_;
  std::vector<double> slot_distance_;
  std::vector<double> slot_semivariance_;
  std::vector<std::size_t> touched_slots_;
  std::size_t n_touched_slots_ = 0;
  std::vector<std::uint64_t> class_count_;
  std::vector<CompensatedSum> class_distance_;
  std::vector<CompensatedSum> class_semivariance_;
  std::vector<std::size_t> touched_classes_;
  std::size_t n_touched_classes_ = 0;
  std::size_t runs_ = 0;
};

struct RangeState {
  explicit RangeState(std::size_t run) : scratch(run) {}
  KeyRange range{kInf, -kInf, false};
  pairs::Scratch scratch;
};

template <class Source, class Visit>
KeyRange key_range_pass(const Source& source, unsigned threads, Visit visit) {
  KeyRange total{kInf, -kInf, false};
  parallel::for_each_index(
      source.tiles(), threads, [&] { return std::make_unique<RangeState>(source.longest_run()); },
      [&](auto& state, std::size_t t) {
        source.key_runs(t, state->scratch, [&](const double* keys, std::size_t count) {
          visit(keys, count, &state->range);
        });
      },
      [&](auto& state) {
        total.lower = std::min(total.lower, state->range.lower);
        total.upper = std::max(total.upper, state->range.upper);
        total.nan = total.nan || state->range.nan;
      });
  return total;
}

// Per row point, the smallest and largest haversine of the pairs it is the
// row of, widened by the workers as they go: O(n) memory.
class RowExtremes {
 public:
  explicit RowExtremes(std::size_t rows) : lower_(rows), upper_(rows) {
    for (std::size_t r = 0; r < rows; ++r) {
      lower_[r].store(kInf, std::memory_order_relaxed);
      upper_[r].store(-kInf, std::memory_order_relaxed);
    }
  }

  void widen(std::size_t r, const KeyRange& run) {
    double lower = lower_[r].load(std::memory_order_relaxed);
    while (run.lower < lower &&
           !lower_[r].compare_exchange_weak(lower, run.lower, std::memory_order_relaxed)) {
    }
    double upper = upper_[r].load(std::memory_order_relaxed);
    while (run.upper > upper &&
           !upper_[r].compare_exchange_weak(upper, run.upper, std::memory_order_relaxed)) {
    }
  }

  // Whether some pair of row r has a haversine at most near_lower or at
  // least near_upper.
  bool reaches(std::size_t r, double near_lower, double near_upper) const {
    return lower_[r].load(std::memory_order_relaxed) <= near_lower ||
           upper_[r].load(std::memory_order_relaxed) >= near_upper;
  }

 private:
  std::vector<std::atomic<double>> lower_;
  std::vector<std::atomic<double>> upper_;
};

// The smallest and largest great-circle distance from the extreme
// haversines: the distance formula is monotonic up to a few rounding errors,
// so only pairs whose haversine is within a relative 1e-9 of an extreme can
// hold an extreme distance; a second pass evaluates those pairs alone. The
// first pass keeps each row's extreme haversines, so the second computes
// the haversines of the few rows that hold such a pair, not of every pair.
DistanceRange great_circle_range(const pairs::PointPairs& source, std::size_t pairs,
                                 unsigned threads) {
  const RowKernels& kernels = row_kernels();
  RowExtremes rows(source.rows());
  const auto every_row = [](std::size_t) { return true; };
  KeyRange haversines{kInf, -kInf, false};
  parallel::for_each_index(
      source.tiles(), threads, [&] { return std::make_unique<RangeState>(source.longest_run()); },
      [&](auto& state, std::size_t t) {
        source.row_key_runs(t, state->scratch, every_row,
                            [&](std::size_t r, const double* h, std::size_t count) {
                              KeyRange run{kInf, -kInf, false};
                              kernels.key_range(h, count, &run);
                              rows.widen(r, run);
                              KeyRange& seen = state->range;
                              seen.lower = std::min(seen.lower, run.lower);
                              seen.upper = std::max(seen.upper, run.upper);
                              seen.nan = seen.nan || run.nan;
                            });
      },
      [&](auto& state) {
        haversines.lower = std::min(haversines.lower, state->range.lower);
        haversines.upper = std::max(haversines.upper, state->range.upper);
        haversines.nan = haversines.nan || state->range.nan;
      });
  if (pairs == 0 || haversines.nan) return {kNaN, kNaN, pairs};
  const double near_lower = haversines.lower * (1.0 + 1e-9);
  const double near_upper = haversines.upper * (1.0 - 1e-9);
  const auto near_row = [&](std::size_t r) { return rows.reaches(r, near_lower, near_upper); };
  KeyRange distances{kInf, -kInf, false};
  parallel::for_each_index(
      source.tiles(), threads, [&] { return std::make_unique<RangeState>(source.longest_run()); },
      [&](auto& state, std::size_t t) {
        source.row_key_runs(t, state->scratch, near_row,
                            [&](std::size_t, const double* h, std::size_t count) {
                              for (std::size_t i = 0; i < count; ++i) {
                                if (h[i] <= near_lower || h[i] >= near_upper) {
                                  const double d = distance_of_haversine(h[i]);
                                  state->range.lower = std::min(state->range.lower, d);
                                  state->range.upper = std::max(state->range.upper, d);
                                }
                              }
                            });
      },
      [&](auto& state) {
        distances.lower = std::min(distances.lower, state->range.lower);
        distances.upper = std::max(distances.upper, state->range.upper);
      });
  return {distances.lower, distances.upper, pairs};
}

template <class Source>
DistanceRange range_pass(const Source& source, std::size_t pairs, unsigned threads) {
  if constexpr (std::is_same_v<Source, pairs::PointPairs>) {
    if (source.key_kind() == pairs::KeyKind::kHaversine) {
      return great_circle_range(source, pairs, threads);
    }
  }
  const RowKernels& kernels = row_kernels();
  const KeyRange keys = key_range_pass(
      source, threads,
      [&](const double* k, std::size_t count, KeyRange* out) { kernels.key_range(k, count, out); });
  if (pairs == 0 || keys.nan) return {kNaN, kNaN, pairs};
  if (source.key_kind() == pairs::KeyKind::kSquaredDistance) {
    return {std::sqrt(keys.lower), std::sqrt(keys.upper), pairs};
  }
  return {keys.lower, keys.upper, pairs};
}

template <class Accumulator>
struct ClassState {
  ClassState(const ClassLocator& locator, std::size_t run)
      : accumulator(locator, run), partials(locator.n_lags()), scratch(run) {}
  Accumulator accumulator;
  ClassPartials partials;
  pairs::Scratch scratch;
};

template <class Accumulator, class Source>
ClassPartials class_pass_with(const Source& source, const ClassEdges& edges,
                              const ClassLocator& locator, unsigned threads) {
  ClassPartials total(locator.n_lags());
  const RowKernels& kernels = row_kernels();
  const pairs::LeafClasses leaf_classes(edges);
  parallel::for_each_index(
      source.tiles(), threads,
      [&] { return std::make_unique<ClassState<Accumulator>>(locator, source.longest_run()); },
      [&](auto& state, std::size_t t) {
        Accumulator& accumulator = state->accumulator;
        const auto add_run = [&](const PairRun& run) { accumulator.add_run(kernels, run); };
        if constexpr (std::is_same_v<Source, pairs::LeafTiles> &&
                      std::is_same_v<Accumulator, DenseAccumulator>) {
          source.leaf_pairs(
              t, state->scratch, leaf_classes,
              [&](std::size_t first, std::size_t classes, const LeafSums& sums, std::size_t rows) {
                accumulator.add_leaf(first, classes, sums, rows);
              },
              add_run);
        } else {
          source.pair_runs(t, state->scratch, add_run);
        }
        accumulator.finish_tile(state->partials);
      },
      [&](auto& state) { total.merge(state->partials); });
  return total;
}

// The accumulator follows from the edges alone, so it never changes the bits
// between threads or paths.
template <class Source>
ClassPartials class_pass(const Source& source, const ClassEdges& edges, unsigned threads) {
  const ClassLocator locator(edges);
  if (locator.holds_nothing()) return ClassPartials(edges.n_lags);
  if (DenseAccumulator::suits(locator)) {
    return class_pass_with<DenseAccumulator>(source, edges, locator, threads);
  }
  return class_pass_with<SparseAccumulator>(source, edges, locator, threads);
}

}  // namespace

void ClassPartials::add_tile_class(std::size_t k, std::uint64_t count, double distance,
                                   double semivariance) {
  count_[k] += count;
  distance_[k].add(distance);
  semivariance_[k].add(semivariance);
}

void ClassPartials::merge(const ClassPartials& other) {
  if (other.n_lags() != n_lags()) {
    throw std::invalid_argument("merged class partials must have the same class count");
  }
  for (std::size_t k = 0; k < n_lags(); ++k) {
    count_[k] += other.count_[k];
    distance_[k].merge(other.distance_[k]);
    semivariance_[k].merge(other.semivariance_[k]);
  }
}

ClassTotals ClassPartials::totals() const {
  ClassTotals totals{count_, std::vector<double>(n_lags()), std::vector<double>(n_lags())};
  for (std::size_t k = 0; k < n_lags(); ++k) {
    totals.distance_sum[k] = distance_[k].value();
    totals.semivariance_sum[k] = semivariance_[k].value();
  }
  return totals;
}

std::string ClassPartials::serialize() const {
  std::string out;
  const std::uint64_t n = n_lags();
  out.append(reinterpret_cast<const char*>(&n), sizeof n);
  for (std::size_t k = 0; k < n_lags(); ++k) {
    out.append(reinterpret_cast<const char*>(&count_[k]), sizeof count_[k]);
    distance_[k].write(out);
    semivariance_[k].write(out);
  }
  return out;
}

bool ClassPartials::deserialize(const std::string& bytes) {
  std::uint64_t n = 0;
  if (bytes.size() < sizeof n) return false;
  std::copy_n(bytes.data(), sizeof n, reinterpret_cast<char*>(&n));
  std::size_t offset = sizeof n;
  // Every class takes at least 26 bytes.
  if (n > bytes.size() / 26) return false;
  ClassPartials read(static_cast<std::size_t>(n));
  for (std::size_t k = 0; k < read.n_lags(); ++k) {
    if (bytes.size() - offset < sizeof(std::uint64_t)) return false;
    std::copy_n(bytes.data() + offset, sizeof(std::uint64_t),
                reinterpret_cast<char*>(&read.count_[k]));
    offset += sizeof(std::uint64_t);
    if (!read.distance_[k].read(bytes, &offset) || !read.semivariance_[k].read(bytes, &offset)) {
      return false;
    }
  }
  if (offset != bytes.size()) return false;
  *this = std::move(read);
  return true;
}

DistanceRange distance_range(const CondensedPairs& pairs, unsigned threads) {
  return range_pass(pairs::CondensedRuns(pairs), pairs.size, threads);
}

DistanceRange distance_range(const DistanceMatrix& matrix, unsigned threads) {
  return range_pass(pairs::MatrixPairs(matrix), triangle_pairs(matrix.n), threads);
}

std::optional<DistanceRange> shortcut_range(const Points& points, unsigned threads) {
  if (points.geographic) return geographic_range(points, threads);
  if (const std::optional<KeyRange> keys = projected_key_range(points, threads)) {
    return DistanceRange{std::sqrt(keys->lower), std::sqrt(keys->upper), triangle_pairs(points.n)};
  }
  return std::nullopt;
}

DistanceRange distance_range(const Points& points, unsigned threads) {
  if (const std::optional<DistanceRange> range = shortcut_range(points, threads)) return *range;
  return range_pass(pairs::PointPairs(points, points, kTileEdge, true), triangle_pairs(points.n),
                    threads);
}

ClassTotals class_totals(const CondensedPairs& pairs, const ClassEdges& edges, unsigned threads) {
  return class_pass(pairs::CondensedRuns(pairs), edges, threads).totals();
}

ClassTotals class_totals(const DistanceMatrix& matrix, const ClassEdges& edges, unsigned threads) {
  return class_pass(pairs::MatrixPairs(matrix), edges, threads).totals();
}

ClassTotals class_totals(const Points& points, const ClassEdges& edges, unsigned threads) {
  const OrderedPoints ordered(points);
  return class_pass(pairs::LeafTiles(ordered.points(), ordered.points(), kTileEdge, true), edges,
                    threads)
      .totals();
}

DistanceRange block_range(const Points& rows, const Points& columns, bool diagonal) {
  const std::size_t pairs = diagonal ? triangle_pairs(rows.n) : rows.n * columns.n;
  return range_pass(pairs::PointPairs(rows, columns, kTileEdge, diagonal), pairs, 1);
}

ClassPartials block_classes(const Points& rows, const Points& columns, const ClassEdges& edges,
                            std::size_t tile, bool diagonal) {
  return class_pass(pairs::LeafTiles(rows, columns, tile, diagonal), edges, 1);
}

void great_circle_matrix(const double* a, std::size_t n, const double* b, std::size_t m,
                         double* out, unsigned threads) {
  const GeoColumns rows(a, n);
  const GeoColumns columns(b, m);
  const RowKernels& kernels = row_kernels();
  parallel::for_each_index(
      n, threads, [] { return 0; },
      [&](int, std::size_t r) {
        kernels.great_circle(geo_point(rows, r), geo_run(columns, 0), m, out + r * m);
      },
      [](int) {});
}

}  // namespace orv::krige
