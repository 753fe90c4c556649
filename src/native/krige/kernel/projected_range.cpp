#include "krige/kernel/projected_range.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <nanoflann.hpp>
#include <utility>
#include <vector>

#include "parallel/threads.hpp"

namespace orv::krige {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Coordinates up to 2^500: a squared difference stays below 2^1002, a sum of
// two below the largest double.
constexpr double kLargestCoordinate = 0x1p500;
// Squared distances at least 2^-900 are normal numbers with room to spare:
// each has a relative error of a few units in the last place.
constexpr double kSmallestKey = 0x1p-900;
// The relative slack of every bound below: far above the rounding behind
// any of them (some 1e-14 at most), so that no candidate pair is lost.
constexpr double kSlack = 1e-9;
// Points handed to a worker at a time.
constexpr std::size_t kChunk = 1024;
// Support lines bounding a set of two-dimensional points.
constexpr std::size_t kDirections = 64;
// The diameter's candidate pairs may cost at most this share of a pass.
constexpr std::size_t kCandidatePairShare = 64;

// The pair pass's expression for the pair of points a and b (the order of a
// and b never changes the bits: a difference only changes its sign).
double squared_distance(const double* a, const double* b, std::size_t dims) {
  double diff = b[0] - a[0];
  double sum = diff * diff;
  for (std::size_t c = 1; c < dims; ++c) {
    diff = b[c] - a[c];
    sum += diff * diff;
  }
  return sum;
}

bool eligible(const Points& points) {
  if (points.n < 2 || points.dims < 1 || points.dims > 2) return false;
  const std::size_t count = points.n * points.dims;
  for (std::size_t i = 0; i < count; ++i) {
    // false for NaN too.
    if (!(std::fabs(points.coordinates[i]) <= kLargestCoordinate)) return false;
  }
  return true;
}

// Runs chunk(state, first, end) over [0, n) in chunks of kChunk on `threads`
// workers, then merge(state) for each worker's state from make().
template <class Make, class Chunk, class Merge>
void each_chunk(std::size_t n, unsigned threads, Make make, Chunk chunk, Merge merge) {
  parallel::for_each_index(
      (n + kChunk - 1) / kChunk, threads,
      [&] { return std::make_unique<decltype(make())>(make()); },
      [&](auto& state, std::size_t c) { chunk(*state, c * kChunk, std::min(n, (c + 1) * kChunk)); },
      [&](auto& state) { merge(*state); });
}

// The points as nanoflann's k-d tree reads them.
struct Cloud {
  const Points& points;
  std::size_t kdtree_get_point_count() const { return points.n; }
  double kdtree_get_pt(std::size_t i, std::size_t c) const {
    return points.coordinates[i * points.dims + c];
  }
  template <class Box>
  bool kdtree_get_bbox(Box&) const {
    return false;
  }
};

using Tree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, Cloud>, Cloud,
                                                 -1, std::size_t>;

// The smallest key. m, the least over the points of the key to the nearest
// point the tree finds, is a pair's key, so the smallest key is at most m. A
// pair whose key is at most m is exactly at most m (1 + kSlack) apart
// (squared; a key errs by a few units in the last place), so a radius search
// of that size from either of its points finds it; only points whose own
// nearest key is within that radius need one.
std::optional<double> smallest_key(const Points& points, unsigned threads) {
  const std::size_t n = points.n;
  const std::size_t dims = points.dims;
  const double* xy = points.coordinates;
  const Cloud cloud{points};
  const Tree tree(dims, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(16));
  std::vector<double> nearest(n);
  double smallest = kInf;
  each_chunk(
      n, threads, [] { return kInf; },
      [&](double& least, std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
          std::size_t found[2] = {i, i};
          double squared[2] = {0.0, 0.0};
          // Two points found (n >= 2); the point itself is one of them
          // unless duplicates of it are both.
          tree.knnSearch(xy + i * dims, 2, found, squared);
          const std::size_t j = found[0] != i ? found[0] : found[1];
          nearest[i] = squared_distance(xy + i * dims, xy + j * dims, dims);
          least = std::min(least, nearest[i]);
        }
      },
      [&](double& least) { smallest = std::min(smallest, least); });
  if (smallest == 0.0) return 0.0;
  if (!(smallest >= kSmallestKey)) return std::nullopt;
  const double radius = smallest * (1.0 + kSlack);
  each_chunk(
      n, threads,
      [&] { return std::make_pair(smallest, std::vector<std::pair<std::size_t, double>>()); },
      [&](auto& state, std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
          if (nearest[i] > radius) continue;
          tree.radiusSearch(xy + i * dims, radius, state.second,
                            nanoflann::SearchParams(32, 0.0f, false));
          for (const auto& match : state.second) {
            if (match.first == i) continue;
            state.first = std::min(state.first,
                                   squared_distance(xy + i * dims, xy + match.first * dims, dims));
          }
        }
      },
      [&](auto& state) { smallest = std::min(smallest, state.first); });
  return smallest;
}

// Unit directions; every direction is within an angle of cosine cos_gap of
// one of them.
struct Directions {
  std::vector<double> x;
  std::vector<double> y;
  double cos_gap;
};

Directions directions_for(std::size_t dims) {
  if (dims == 1) return {{1.0, -1.0}, {0.0, 0.0}, 1.0};
  Directions d{std::vector<double>(kDirections), std::vector<double>(kDirections),
               std::cos(M_PI / kDirections)};
  for (std::size_t i = 0; i < kDirections; ++i) {
    const double angle = 2.0 * M_PI * static_cast<double>(i) / kDirections;
    d.x[i] = std::cos(angle);
    d.y[i] = std::sin(angle);
  }
  return d;
}

// The largest key. For each direction w, the support value h(w), the largest
// <q, w> over the points q. The farthest point from p is then at most
// max over w of (h(w) - <p, w>) / cos(gap) away. The points reaching a
// support value give a lower bound D of the largest key; only points whose
// bound reaches sqrt(D) can be in a pair with a key of D or more, and all
// their pairs are evaluated. Coordinates are taken relative to the centre of
// the bounding box, so that the rounding of the bounds scales with the
// set's extent.
std::optional<double> largest_key(const Points& points, unsigned threads) {
  const std::size_t n = points.n;
  const std::size_t dims = points.dims;
  const double* xy = points.coordinates;
  double centre[2] = {0.0, 0.0};
  double extent = 0.0;
  for (std::size_t c = 0; c < dims; ++c) {
    double lower = kInf;
    double upper = -kInf;
    for (std::size_t i = 0; i < n; ++i) {
      lower = std::min(lower, xy[i * dims + c]);
      upper = std::max(upper, xy[i * dims + c]);
    }
    centre[c] = lower + (upper - lower) * 0.5;
    extent = std::max(extent, upper - lower);
  }
  const Directions w = directions_for(dims);
  const std::size_t k = w.x.size();
  auto projection = [&](std::size_t i, std::size_t d) {
    const double* p = xy + i * dims;
    const double along = (p[0] - centre[0]) * w.x[d];
    return dims == 1 ? along : along + (p[1] - centre[1]) * w.y[d];
  };

  // Support values and the first point reaching each.
  std::vector<double> support(k, -kInf);
  std::vector<std::size_t> extreme(k, 0);
  each_chunk(
      n, threads,
      [&] { return std::make_pair(std::vector<double>(k, -kInf), std::vector<std::size_t>(k, 0)); },
      [&](auto& state, std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
          for (std::size_t d = 0; d < k; ++d) {
            const double h = projection(i, d);
            if (h > state.first[d]) {
              state.first[d] = h;
              state.second[d] = i;
            }
          }
        }
      },
      [&](auto& state) {
        for (std::size_t d = 0; d < k; ++d) {
          if (state.first[d] > support[d] ||
              (state.first[d] == support[d] && state.second[d] < extreme[d])) {
            support[d] = state.first[d];
            extreme[d] = state.second[d];
          }
        }
      });
  double largest = 0.0;
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      largest =
          std::max(largest, squared_distance(xy + extreme[a] * dims, xy + extreme[b] * dims, dims));
    }
  }
  if (!(largest >= kSmallestKey)) return std::nullopt;

  const double reach = std::sqrt(largest) * (1.0 - kSlack) * w.cos_gap - kSlack * extent;
  std::vector<std::size_t> candidates;
  each_chunk(
      n, threads, [] { return std::vector<std::size_t>(); },
      [&](std::vector<std::size_t>& found, std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
          double bound = -kInf;
          for (std::size_t d = 0; d < k; ++d)
            bound = std::max(bound, support[d] - projection(i, d));
          if (bound >= reach) found.push_back(i);
        }
      },
      [&](std::vector<std::size_t>& found) {
        candidates.insert(candidates.end(), found.begin(), found.end());
      });
  const std::size_t m = candidates.size();
  if (triangle_pairs(m) > triangle_pairs(n) / kCandidatePairShare) return std::nullopt;
  each_chunk(
      m, threads, [&] { return largest; },
      [&](double& most, std::size_t first, std::size_t end) {
        for (std::size_t a = first; a < end; ++a) {
          const double* p = xy + candidates[a] * dims;
          for (std::size_t b = 0; b < a; ++b) {
            most = std::max(most, squared_distance(p, xy + candidates[b] * dims, dims));
          }
        }
      },
      [&](double& most) { largest = std::max(largest, most); });
  return largest;
}

}  // namespace

std::optional<KeyRange> projected_key_range(const Points& points, unsigned threads) {
  if (!eligible(points)) return std::nullopt;
  // The diameter first: where it falls back to a pass, the tree is not built.
  const std::optional<double> upper = largest_key(points, threads);
  if (!upper) return std::nullopt;
  const std::optional<double> lower = smallest_key(points, threads);
  if (!lower) return std::nullopt;
  return KeyRange{*lower, *upper, false};
}

}  // namespace orv::krige
