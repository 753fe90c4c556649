#include "krige/kernel/geographic_range.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "krige/kernel/box_space.hpp"
#include "krige/kernel/great_circle.hpp"
#include "krige/kernel/leaf_tiles.hpp"
#include "krige/kernel/ordered_points.hpp"
#include "parallel/threads.hpp"

namespace orv::krige {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Chord slack for the rounding of the unit vectors and of the haversine
// expression (both below 1e-15), many times over.
constexpr double kChordSlack = 1e-12;
// Relative widening of the cuts: pairs within 1e-9 of an extreme count.
constexpr double kCutWidening = 4e-9;
// Evaluating more than this share of all pairs is left to the full pass.
constexpr double kMostCandidateShare = 0.25;

struct HaversineBounds {
  double lower;
  double upper;
};

// Bounds of the haversines of two leaves' pairs: the haversine of a central
// angle is the square of half its chord.
HaversineBounds haversine_bounds(const pairs::LeafSet& set, const pairs::LeafSet::Leaf& a,
                                 const pairs::LeafSet::Leaf& b) {
  const BoxSeparation separation = box_separation(a.lower, b.lower, set.box_dims());
  const double gap_squared = separation.gap_squared;
  const double span_squared = separation.span_squared;
  const double low = std::max(0.0, std::sqrt(gap_squared) - kChordSlack) / 2.0;
  const double high = (std::sqrt(span_squared) + kChordSlack) / 2.0;
  return {low * low, high * high};
}

std::size_t pair_count(const pairs::LeafSet::Leaf& a, bool same, const pairs::LeafSet::Leaf& b) {
  const std::size_t rows = a.end - a.first;
  return same ? rows * (rows - 1) / 2 : rows * (b.end - b.first);
}

class LeafPairs {
 public:
  explicit LeafPairs(const Points& ordered) : set_(ordered, ordered.n) {}

  std::size_t leaves() const { return set_.leaves_per_tile(); }
  const pairs::LeafSet& set() const { return set_; }

  // visit(a, b, same, bounds) for the leaf pairs of row leaf i that hold a pair.
  template <class Visit>
  void each(std::size_t i, Visit&& visit) const {
    const pairs::LeafSet::Leaf a = set_.leaf(0, i);
    for (std::size_t j = 0; j <= i; ++j) {
      const pairs::LeafSet::Leaf b = set_.leaf(0, j);
      if (pair_count(a, i == j, b) == 0) continue;
      visit(a, b, i == j, haversine_bounds(set_, a, b));
    }
  }

  // use(h, count) with the haversines of every row of a leaf pair.
  template <class Use>
  void haversines(const pairs::LeafSet::Leaf& a, const pairs::LeafSet::Leaf& b, bool same,
                  std::vector<double>& out, Use&& use) const {
    const RowKernels& kernels = row_kernels();
    for (std::size_t r = a.first; r < a.end; ++r) {
      const std::size_t end = same ? r : b.end;
      if (end <= b.first) continue;
      kernels.haversines(geo_point(set_.geo(), r), geo_run(set_.geo(), b.first), end - b.first,
                         out.data());
      use(out.data(), end - b.first);
    }
  }

 private:
  pairs::LeafSet set_;
};

struct Extremes {
  double lower = kInf;
  double upper = -kInf;
  void widen(double low, double high) {
    lower = std::min(lower, low);
    upper = std::max(upper, high);
  }
};

// One sweep over the row leaves on the worker threads: sweep(state, i) per
// row leaf, each thread's Extremes merged at the end.
template <class Sweep>
Extremes each_row_leaf(const LeafPairs& pairs, unsigned threads, Sweep&& sweep) {
  Extremes total;
  parallel::for_each_index(
      pairs.leaves(), threads,
      [] { return std::make_unique<std::pair<Extremes, std::vector<double>>>(); },
      [&](auto& state, std::size_t i) {
        if (state->second.empty()) state->second.resize(kLeafEdge);
        sweep(state->first, state->second, pairs.leaves() - 1 - i);
      },
      [&](auto& state) { total.widen(state->first.lower, state->first.upper); });
  return total;
}

}  // namespace

std::optional<DistanceRange> geographic_range(const Points& points, unsigned threads) {
  if (!points.geographic || points.n < 2) return std::nullopt;
  for (std::size_t k = 0; k < 2 * points.n; ++k) {
    if (!std::isfinite(points.coordinates[k])) return std::nullopt;
  }
  const OrderedPoints ordered(Points{points.coordinates, points.n, 2, nullptr, true});
  const LeafPairs pairs(ordered.points());
  // Every pair's haversine lies within its leaf pair's bounds: the smallest
  // is at most the least upper bound, the largest at least the greatest
  // lower bound.
  const Extremes reach = each_row_leaf(pairs, threads, [&](Extremes& seen, auto&, std::size_t i) {
    pairs.each(i, [&](const auto&, const auto&, bool, const HaversineBounds& h) {
      seen.widen(h.upper, h.lower);
    });
  });
  const double low_cut = reach.lower * (1.0 + kCutWidening);
  const double high_cut = reach.upper * (1.0 - kCutWidening);
  const auto candidate = [&](const HaversineBounds& h) {
    return h.lower <= low_cut || h.upper >= high_cut;
  };
  std::size_t candidates = 0;
  for (std::size_t i = 0; i < pairs.leaves(); ++i) {
    pairs.each(i, [&](const auto& a, const auto& b, bool same, const HaversineBounds& h) {
      if (candidate(h)) candidates += pair_count(a, same, b);
    });
  }
  const double all_pairs = static_cast<double>(triangle_pairs(points.n));
  if (static_cast<double>(candidates) > kMostCandidateShare * all_pairs) return std::nullopt;

  const Extremes haversines =
      each_row_leaf(pairs, threads, [&](Extremes& seen, std::vector<double>& out, std::size_t i) {
        pairs.each(i, [&](const auto& a, const auto& b, bool same, const HaversineBounds& h) {
          if (!candidate(h)) return;
          pairs.haversines(a, b, same, out, [&](const double* run, std::size_t count) {
            for (std::size_t t = 0; t < count; ++t) seen.widen(run[t], run[t]);
          });
        });
      });
  // As the full pass: only pairs within a relative 1e-9 of an extreme
  // haversine can hold an extreme distance.
  const double near_lower = haversines.lower * (1.0 + 1e-9);
  const double near_upper = haversines.upper * (1.0 - 1e-9);
  const Extremes distances =
      each_row_leaf(pairs, threads, [&](Extremes& seen, std::vector<double>& out, std::size_t i) {
        pairs.each(i, [&](const auto& a, const auto& b, bool same, const HaversineBounds& h) {
          if (!(h.lower <= near_lower || h.upper >= near_upper)) return;
          pairs.haversines(a, b, same, out, [&](const double* run, std::size_t count) {
            for (std::size_t t = 0; t < count; ++t) {
              if (run[t] <= near_lower || run[t] >= near_upper) {
                const double d = distance_of_haversine(run[t]);
                seen.widen(d, d);
              }
            }
          });
        });
      });
  return DistanceRange{distances.lower, distances.upper, triangle_pairs(points.n)};
}

}  // namespace orv::krige
