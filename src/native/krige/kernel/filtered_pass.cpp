#include "krige/kernel/filtered_pass.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "krige/kernel/box_space.hpp"
#include "krige/kernel/exact_sum.hpp"
#include "krige/kernel/great_circle.hpp"
#include "krige/kernel/lane_slots.hpp"
#include "krige/kernel/leaf_tiles.hpp"
#include "krige/kernel/pair_runs.hpp"
#include "krige/kernel/row_kernels.hpp"
#include "parallel/threads.hpp"

namespace orv::krige {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t leaf_count(std::size_t n) { return (n + kLeafPoints - 1) / kLeafPoints; }

// A NaN key sorts after every number; ties go by index, so the order is total.
double sort_key(double v) { return v != v ? kInf : v; }

void order_leaves(const BoxSpace& space, std::size_t n, std::size_t first_leaf,
                  std::size_t end_leaf, std::size_t* index) {
  if (end_leaf - first_leaf <= 1) return;
  const std::size_t begin = first_leaf * kLeafPoints;
  const std::size_t end = std::min(end_leaf * kLeafPoints, n);
  const std::size_t middle_leaf = first_leaf + (end_leaf - first_leaf) / 2;
  std::size_t axis = 0;
  double widest = -1.0;
  for (std::size_t c = 0; c < space.dims(); ++c) {
    double low = kInf;
    double high = -kInf;
    for (std::size_t m = begin; m < end; ++m) {
      const double v = space.point(index[m])[c];
      if (v < low) low = v;
      if (v > high) high = v;
    }
    if (high - low > widest) {
      widest = high - low;
      axis = c;
    }
  }
  std::nth_element(index + begin, index + middle_leaf * kLeafPoints, index + end,
                   [&](std::size_t a, std::size_t b) {
                     const double ka = sort_key(space.point(a)[axis]);
                     const double kb = sort_key(space.point(b)[axis]);
                     return ka < kb || (ka == kb && a < b);
                   });
  order_leaves(space, n, first_leaf, middle_leaf, index);
  order_leaves(space, n, middle_leaf, end_leaf, index);
}

// The binary tree over the leaves [0, leaves): a node holds the leaves
// [first, end), split in the middle as spatial_order splits them, and the
// box of their points (NaN coordinates left out).
class LeafTree {
 public:
  LeafTree(const BoxSpace& space, std::size_t n)
      : n_(n), dims_(space.dims()), leaf_node_(leaf_count(n)) {
    if (n > 0) build(space, 0, leaf_count(n));
  }

  std::size_t root() const { return 0; }
  // The box of a node: dims lower bounds, then dims upper bounds.
  const double* box(std::size_t node) const { return lower(node); }
  std::size_t dims() const { return dims_; }
  std::size_t leaf_node(std::size_t leaf) const { return leaf_node_[leaf]; }
  std::size_t first(std::size_t node) const { return nodes_[node].first; }
  bool is_leaf(std::size_t node) const { return nodes_[node].end - nodes_[node].first == 1; }
  std::size_t left(std::size_t node) const { return nodes_[node].left; }
  std::size_t right(std::size_t node) const { return nodes_[node].right; }

  // The squared distance between the boxes of two nodes, summed over the
  // coordinates in order: never above the squared distance of any pair of
  // points in them as the row kernels compute it (every rounding is monotonic).
  double gap_squared(std::size_t a, std::size_t b) const {
    return box_separation(lower(a), lower(b), dims_).gap_squared;
  }

  // The same between a point and the box of a node.
  double gap_squared(const double* point, std::size_t node) const {
    return box_separation(point, point, lower(node), upper(node), dims_).gap_squared;
  }

 private:
  struct Node {
    std::size_t first;
    std::size_t end;
    std::size_t left;
    std::size_t right;
  };

  const double* lower(std::size_t node) const { return bounds_.data() + node * 2 * dims_; }
  const double* upper(std::size_t node) const { return lower(node) + dims_; }

  std::size_t build(const BoxSpace& space, std::size_t first, std::size_t end) {
    const std::size_t node = nodes_.size();
    nodes_.push_back({first, end, 0, 0});
    bounds_.resize(bounds_.size() + 2 * dims_);
    double* low = bounds_.data() + node * 2 * dims_;
    double* high = low + dims_;
    std::fill(low, high, kInf);
    std::fill(high, high + dims_, -kInf);
    if (end - first == 1) {
      leaf_node_[first] = node;
      for (std::size_t i = first * kLeafPoints; i < std::min(end * kLeafPoints, n_); ++i) {
        widen(low, high, space.point(i), space.point(i));
      }
      return node;
    }
    const std::size_t middle = first + (end - first) / 2;
    const std::size_t left = build(space, first, middle);
    const std::size_t right = build(space, middle, end);
    nodes_[node].left = left;
    nodes_[node].right = right;
    low = bounds_.data() + node * 2 * dims_;
    high = low + dims_;
    widen(low, high, lower(left), upper(left));
    widen(low, high, lower(right), upper(right));
    return node;
  }

  void widen(double* low, double* high, const double* other_low, const double* other_high) const {
    for (std::size_t c = 0; c < dims_; ++c) {
      if (other_low[c] < low[c]) low[c] = other_low[c];
      if (other_high[c] > high[c]) high[c] = other_high[c];
    }
  }

  std::size_t n_;
  std::size_t dims_;
  std::vector<Node> nodes_;
  std::vector<double> bounds_;  // per node: dims lower, then dims upper bounds
  std::vector<std::size_t> leaf_node_;
};

// Whether a box gap rules out every pair at most `cutoff` apart.
class Reach {
 public:
  Reach(bool geographic, double cutoff) : limit_(cutoff) {
    if (!geographic) return;
    // Chords of the unit sphere: a pair's great-circle distance is 2 R asin(chord / 2), and
    // the box gap bounds the chord from below up to the rounding of the unit vectors and
    // the haversine formula, for which the margin leaves plenty of room.
    const double half_angle = cutoff / (2.0 * kEarthRadiusKm);
    if (!(half_angle < 1.5)) {
      limit_ = kInf;
      return;
    }
    const double chord = 2.0 * std::sin(std::max(half_angle, 0.0));
    limit_ = chord * (1.0 + 1e-9) + 1e-9;
  }

  bool beyond(double gap_squared) const { return std::sqrt(gap_squared) > limit_; }

 private:
  double limit_;
};

// The row against column runs of a unit, and the distances of a run.
class OrderedPairs {
 public:
  OrderedPairs(const Points& points, double cutoff)
      : points_(points),
        space_(points),
        tree_(space_, points.n),
        reach_(points.geographic, cutoff) {
    if (points.geographic) {
      geo_ = pairs::padded_geo_columns(points.coordinates, points.n);
    } else {
      projected_.emplace(points, pairs::kLeafPadding);
    }
    values_ = pairs::padded_values(points);
    finite_.assign(units(), 1);
    for (std::size_t i = 0; i < points.n * points.dims; ++i) {
      if (!std::isfinite(points.coordinates[i])) finite_[i / points.dims / kLeafPoints] = 0;
    }
  }

  std::size_t units() const { return leaf_count(points_.n); }
  const Points& points() const { return points_; }
  const GeoColumns* geo() const { return geo_ ? &*geo_ : nullptr; }

  // run(r, c0, count) for the rows of leaf `unit` against the leaves at or
  // before it within reach, leaf by leaf in increasing order, rows in order.
  template <class Run>
  void each_run(std::size_t unit, Run&& run) const {
    const auto no_leaf_pairs = [](std::size_t, std::size_t, std::size_t) { return false; };
    visit(tree_.root(), unit, no_leaf_pairs, run);
  }

  // The same, but a leaf pair within reach is first offered whole as
  // leaf_pair(row_leaf, column_leaf, column_node); the pairs of a leaf pair
  // it takes (returns true for) are not run.
  template <class LeafPair, class Run>
  void each_leaf_pair_or_run(std::size_t unit, LeafPair&& leaf_pair, Run&& run) const {
    visit(tree_.root(), unit, leaf_pair, run);
  }

  // The register sums (leaf_sums) of the pairs of two leaves; false when the
  // leaf pair must go pair by pair.
  bool register_sums(std::size_t row_leaf, std::size_t column_leaf, std::size_t column_node,
                     const pairs::LeafClasses& classes, LeafSums* sums, std::size_t* first,
                     std::size_t* count) const {
    const std::size_t dims = points_.dims;
    if (!finite_[row_leaf] || !finite_[column_leaf] || dims == 0 ||
        (!geo_ && dims > kMaxGenericDims)) {
      return false;
    }
    const pairs::LeafBounds bounds =
        pairs::leaf_bounds(tree_.box(tree_.leaf_node(row_leaf)), tree_.box(column_node),
                           tree_.dims(), geo_.has_value());
    bool check_ends = false;
    if (!classes.span(bounds, first, count, &check_ends)) return false;
    if (geo_ && !bounds.small_angles) return false;
    const std::size_t r0 = row_leaf * kLeafPoints;
    const std::size_t c0 = column_leaf * kLeafPoints;
    const std::size_t rows = std::min(kLeafPoints, points_.n - r0);
    const std::size_t columns = std::min(kLeafPoints, points_.n - c0);
    const bool same = row_leaf == column_leaf;
    LeafPair pair{rows,
                  columns,
                  same,
                  geo_ ? nullptr : projected_->column_start(r0),
                  geo_ ? 0 : projected_->stride(),
                  geo_ ? nullptr : projected_->column_start(c0),
                  geo_ ? 0 : projected_->stride(),
                  dims,
                  nullptr,
                  geo_.has_value(),
                  geo_ ? geo_run(*geo_, r0) : GeoRun{},
                  geo_ ? geo_run(*geo_, c0) : GeoRun{},
                  values_.data() + r0,
                  values_.data() + c0,
                  classes.edges() + *first,
                  *count,
                  check_ends};
    row_kernels().leaf_sums(pair, sums);
    return true;
  }

  // The distances of row r against points c0 .. c0 + count - 1 into out:
  // squared for projected points (*squared set), km for geographic ones.
  void distances(std::size_t r, std::size_t c0, std::size_t count, double* out,
                 bool* squared) const {
    const RowKernels& kernels = row_kernels();
    if (geo_) {
      kernels.great_circle(geo_point(*geo_, r), geo_run(*geo_, c0), count, out);
      *squared = false;
    } else {
      kernels.squared_distances(points_.coordinates + r * points_.dims,
                                projected_->column_start(c0), projected_->stride(),
                                projected_->dims(), count, out);
      *squared = true;
    }
  }

 private:
  template <class LeafPair, class Run>
  void visit(std::size_t node, std::size_t unit, LeafPair& leaf_pair, Run& run) const {
    if (tree_.first(node) > unit) return;
    const std::size_t row_node = tree_.leaf_node(unit);
    if (reach_.beyond(tree_.gap_squared(row_node, node))) return;
    if (!tree_.is_leaf(node)) {
      visit(tree_.left(node), unit, leaf_pair, run);
      visit(tree_.right(node), unit, leaf_pair, run);
      return;
    }
    const std::size_t leaf = tree_.first(node);
    if (leaf_pair(unit, leaf, node)) return;
    const std::size_t r0 = unit * kLeafPoints;
    const std::size_t r1 = std::min(r0 + kLeafPoints, points_.n);
    const std::size_t c0 = leaf * kLeafPoints;
    const std::size_t c1 = std::min(c0 + kLeafPoints, points_.n);
    for (std::size_t r = r0; r < r1; ++r) {
      const std::size_t end = leaf == unit ? r : c1;
      if (end <= c0) continue;
      if (leaf != unit && reach_.beyond(tree_.gap_squared(space_.point(r), node))) continue;
      run(r, c0, end - c0);
    }
  }

  const Points& points_;
  BoxSpace space_;
  LeafTree tree_;
  Reach reach_;
  std::optional<GeoColumns> geo_;
  std::optional<pairs::ProjectedColumns> projected_;
  std::vector<double> values_;  // padded like the coordinates
  std::vector<char> finite_;    // per leaf: every coordinate finite
};

// Runs task(state, unit) for the units of `part`, largest units (the last
// leaves, with the most leaves before them) first, on the worker threads.
template <class Make, class Task, class Done>
void each_unit(std::size_t units, Part part, unsigned threads, Make make, Task task, Done done) {
  if (part.count == 0 || part.index >= part.count || part.index >= units) return;
  const std::size_t mine = (units - part.index + part.count - 1) / part.count;
  const std::size_t last = part.index + (mine - 1) * part.count;
  parallel::for_each_index(
      mine, threads, make, [&](auto& state, std::size_t i) { task(state, last - i * part.count); },
      done);
}

// Keeps pairs in the direction; removes the others from their class.
class DirectionFilter {
 public:
  DirectionFilter(const Direction& direction, const Points& points, const GeoColumns* geo)
      : points_(points), geo_(geo) {
    const double azimuth = direction.azimuth * kDegree;
    sin_ = std::sin(azimuth);
    cos_ = std::cos(azimuth);
    tan_tolerance_ = std::tan(std::max(direction.tolerance, 0.0) * kDegree);
    all_ = !(direction.tolerance < 90.0);
  }

  // k[t] = none for the pairs (r, c0 + t) out of the direction.
  void apply(std::size_t r, std::size_t c0, std::size_t count, double none, double* k) const {
    if (all_) return;
    const double* xy = points_.coordinates;
    const std::size_t dims = points_.dims;
    const double xr = xy[r * dims];
    const double yr = xy[r * dims + 1];
    for (std::size_t t = 0; t < count; ++t) {
      const std::size_t c = c0 + t;
      double dx = xy[c * dims] - xr;
      const double dy = xy[c * dims + 1] - yr;
      if (geo_ != nullptr) {
        if (dx > 180.0) dx -= 360.0;
        if (dx < -180.0) dx += 360.0;
        dx *= 0.5 * (geo_->cos_lat[r] + geo_->cos_lat[c]);
      }
      const double along = dx * sin_ + dy * cos_;
      const double across = dx * cos_ - dy * sin_;
      if (!(std::fabs(across) <= tan_tolerance_ * std::fabs(along))) k[t] = none;
    }
  }

 private:
  const Points& points_;
  const GeoColumns* geo_;
  double sin_ = 0.0;
  double cos_ = 1.0;
  double tan_tolerance_ = 0.0;
  bool all_ = true;
};

// The per-thread sums of the class pass: lane slots filled by the row
// kernels (lane_slots.hpp), whose rounded class sums go to the partials at
// the end of each unit.
class ClassWork {
 public:
  explicit ClassWork(std::size_t n_lags)
      : slots_(n_lags),
        distances_(kLeafPoints),
        d_(kLeafPoints),
        g_(kLeafPoints),
        k_(kLeafPoints),
        partials(n_lags) {}

  double* distances() { return distances_.data(); }
  double* d() { return d_.data(); }
  double* g() { return g_.data(); }
  double* k() { return k_.data(); }

  void add_run(const RowKernels& kernels, const ClassGrid& grid, std::size_t count) {
    kernels.accumulate(grid, slots_.data(), k_.data(), d_.data(), g_.data(), count);
    slots_.runs_added();
  }

  // The register sums of a leaf pair of `rows` rows.
  void add_leaf(std::size_t first, std::size_t classes, const LeafSums& sums, std::size_t rows) {
    slots_.add_leaf(first, classes, sums);
    slots_.runs_added(rows);
  }

  LeafSums& leaf_sums() { return leaf_sums_; }

  void finish_unit() { slots_.finish(partials); }

 private:
  LaneSlots slots_;
  LeafSums leaf_sums_{};
  std::vector<double> distances_;
  std::vector<double> d_;
  std::vector<double> g_;
  std::vector<double> k_;

 public:
  ClassPartials partials;
};

}  // namespace

std::size_t filtered_units(std::size_t n) { return leaf_count(n); }

std::vector<std::size_t> spatial_order(const Points& points) {
  std::vector<std::size_t> index(points.n);
  for (std::size_t i = 0; i < points.n; ++i) index[i] = i;
  const BoxSpace space(points);
  order_leaves(space, points.n, 0, leaf_count(points.n), index.data());
  for (std::size_t begin = 0; begin < points.n; begin += kLeafPoints) {
    std::sort(index.begin() + begin, index.begin() + std::min(begin + kLeafPoints, points.n));
  }
  return index;
}

DistanceExtremes visited_range(const Points& points, double cutoff, Part part, unsigned threads) {
  const OrderedPairs pairs(points, cutoff);
  const RowKernels& kernels = row_kernels();
  KeyRange total{kInf, -kInf, false};
  each_unit(
      pairs.units(), part, threads,
      [] { return std::make_pair(KeyRange{kInf, -kInf, false}, std::vector<double>(kLeafPoints)); },
      [&](auto& state, std::size_t unit) {
        pairs.each_run(unit, [&](std::size_t r, std::size_t c0, std::size_t count) {
          double* keys = state.second.data();
          bool squared = false;
          pairs.distances(r, c0, count, keys, &squared);
          kernels.key_range(keys, count, &state.first);
        });
      },
      [&](auto& state) {
        total.lower = std::min(total.lower, state.first.lower);
        total.upper = std::max(total.upper, state.first.upper);
      });
  if (total.lower > total.upper) return {kNaN, kNaN};
  // sqrt is monotonic and correctly rounded: the extremes of the squares give those of the
  // distances exactly.
  if (!points.geographic) return {std::sqrt(total.lower), std::sqrt(total.upper)};
  return {total.lower, total.upper};
}

ClassPartials filtered_classes(const Points& points, const ClassEdges& edges, Estimator estimator,
                               const Direction* direction, Part part, unsigned threads) {
  ClassPartials total(edges.n_lags);
  if (edges.n_lags == 0 || edges.n_lags > kMaxFilteredClasses) return total;
  for (std::size_t k = 0; k < edges.n_lags; ++k) {
    if (!(edges.data[k] <= edges.data[k + 1])) return total;
  }
  const ClassLocator locator(edges);
  if (locator.holds_nothing()) return total;
  // The largest distance that can still be in a class: just below the last edge.
  const double cutoff = std::nextafter(edges.data[edges.n_lags], -kInf);
  const OrderedPairs pairs(points, cutoff);
  const std::optional<DirectionFilter> filter =
      direction != nullptr
          ? std::optional<DirectionFilter>(std::in_place, *direction, points, pairs.geo())
          : std::nullopt;
  const ClassGrid& grid = locator.grid();
  const RowKernels& kernels = row_kernels();
  const double* values = points.values;
  const pairs::LeafClasses leaf_classes(edges);
  each_unit(
      pairs.units(), part, threads, [&] { return std::make_unique<ClassWork>(edges.n_lags); },
      [&](auto& work, std::size_t unit) {
        // Leaf pairs whose pairs all count alike (Matheron, every direction) may be summed whole.
        const auto leaf_pair = [&](std::size_t row_leaf, std::size_t column_leaf,
                                   std::size_t column_node) {
          std::size_t first = 0;
          std::size_t classes = 0;
          if (estimator != Estimator::kMatheron || filter ||
              !pairs.register_sums(row_leaf, column_leaf, column_node, leaf_classes,
                                   &work->leaf_sums(), &first, &classes)) {
            return false;
          }
          work->add_leaf(first, classes, work->leaf_sums(),
                         std::min(kLeafPoints, points.n - row_leaf * kLeafPoints));
          return true;
        };
        pairs.each_leaf_pair_or_run(
            unit, leaf_pair, [&](std::size_t r, std::size_t c0, std::size_t count) {
              bool squared = false;
              pairs.distances(r, c0, count, work->distances(), &squared);
              kernels.prepare(
                  grid, PairRun{work->distances(), squared, values[r], values + c0, false, count},
                  work->d(), work->g(), work->k());
              if (filter) filter->apply(r, c0, count, grid.none, work->k());
              if (estimator == Estimator::kCressie) {
                double* g = work->g();
                for (std::size_t t = 0; t < count; ++t)
                  g[t] = std::sqrt(std::fabs(values[c0 + t] - values[r]));
              }
              work->add_run(kernels, grid, count);
            });
        work->finish_unit();
      },
      [&](auto& work) { total.merge(work->partials); });
  return total;
}

}  // namespace orv::krige
