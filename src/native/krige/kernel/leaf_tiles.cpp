#include "krige/kernel/leaf_tiles.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "krige/kernel/box_space.hpp"

namespace orv::krige::pairs {
namespace {

// The widening of the geographic bounds (see LeafBounds).
constexpr double kRelativeMargin = 1e-9;
constexpr double kAbsoluteMarginKm = 1e-6;
constexpr double kSmallHaversine = 0.24;

double arc_km(double chord) { return 2.0 * kEarthRadiusKm * std::asin(std::min(1.0, chord / 2.0)); }

}  // namespace

LeafSet::LeafSet(const Points& points, std::size_t tile)
    : points_(points),
      tile_(tile),
      // A tile larger than the set holds the set: leaves exist for points only.
      leaves_per_tile_((std::min(tile, points.n) + kLeafEdge - 1) / kLeafEdge),
      box_dims_(points.geographic ? 3 : points.dims),
      values_(padded_values(points)) {
  if (points.geographic) {
    geo_ = padded_geo_columns(points.coordinates, points.n);
  } else {
    columns_.emplace(points, kLeafPadding);
  }
  const BoxSpace space(points);
  const std::size_t tiles = tile == 0 ? 0 : (points.n + tile - 1) / tile;
  const std::size_t leaves = tiles * leaves_per_tile_;
  boxes_.resize(leaves * 2 * box_dims_);
  finite_.resize(leaves);
  for (std::size_t i = 0; i < tiles; ++i) {
    for (std::size_t q = 0; q < leaves_per_tile_; ++q) {
      const std::size_t index = i * leaves_per_tile_ + q;
      const Leaf span = leaf(i, q);
      double* lower = boxes_.data() + index * 2 * box_dims_;
      double* upper = lower + box_dims_;
      std::fill(lower, upper, std::numeric_limits<double>::infinity());
      std::fill(upper, upper + box_dims_, -std::numeric_limits<double>::infinity());
      bool finite = true;
      for (std::size_t p = span.first; p < span.end; ++p) {
        for (std::size_t c = 0; c < points.dims; ++c) {
          finite = finite && std::isfinite(points.coordinates[p * points.dims + c]);
        }
        const double* x = space.point(p);
        for (std::size_t c = 0; c < box_dims_; ++c) {
          lower[c] = std::min(lower[c], x[c]);
          upper[c] = std::max(upper[c], x[c]);
        }
      }
      finite_[index] = finite;
    }
  }
}

LeafSet::Leaf LeafSet::leaf(std::size_t i, std::size_t q) const {
  const std::size_t tile_end = std::min((i + 1) * tile_, points_.n);
  const std::size_t first = std::min(i * tile_ + q * kLeafEdge, tile_end);
  const std::size_t end = std::min(first + kLeafEdge, tile_end);
  const std::size_t index = i * leaves_per_tile_ + q;
  const bool stored = index < finite_.size();
  return {first, end, stored ? boxes_.data() + index * 2 * box_dims_ : nullptr,
          stored && finite_[index] != 0};
}

GeoColumns padded_geo_columns(const double* lon_lat, std::size_t n) {
  std::vector<double> padded(2 * (n + kLeafPadding), 0.0);
  std::copy_n(lon_lat, 2 * n, padded.begin());
  return GeoColumns(padded.data(), n + kLeafPadding);
}

std::vector<double> padded_values(const Points& points) {
  std::vector<double> values(points.n + kLeafPadding, 0.0);
  if (points.values != nullptr) std::copy_n(points.values, points.n, values.begin());
  return values;
}

LeafBounds leaf_bounds(const double* a_box, const double* b_box, std::size_t dims,
                       bool geographic) {
  const BoxSeparation separation = box_separation(a_box, b_box, dims);
  const double lower = separation.gap_squared;
  const double upper = separation.span_squared;
  if (!geographic) return {std::sqrt(lower), std::sqrt(upper), false};
  const double low = arc_km(std::sqrt(lower)) * (1.0 - kRelativeMargin) - kAbsoluteMarginKm;
  const double high = arc_km(std::sqrt(upper)) * (1.0 + kRelativeMargin) + kAbsoluteMarginKm;
  // The haversine is a quarter of the squared chord; 60 degrees is a
  // haversine of 1/4, kept well clear of.
  return {std::max(low, 0.0), high, upper / 4.0 < kSmallHaversine};
}

LeafClasses::LeafClasses(const ClassEdges& edges) : edges_(edges), ordered_(edges.n_lags > 0) {
  for (std::size_t k = 0; k < edges.n_lags && ordered_; ++k) {
    ordered_ = edges.data[k] <= edges.data[k + 1];
  }
}

bool LeafClasses::span(const LeafBounds& bounds, std::size_t* first, std::size_t* classes,
                       bool* check_ends) const {
  if (!ordered_ || !(bounds.lower <= bounds.upper) || !std::isfinite(bounds.upper)) return false;
  const double* e = edges_.data;
  const std::size_t n = edges_.n_lags;
  bool check = false;
  std::size_t lo = 0;
  if (bounds.lower >= e[0]) {
    lo = static_cast<std::size_t>(std::upper_bound(e, e + n + 1, bounds.lower) - e) - 1;
    if (lo >= n) return false;
  } else {
    check = true;
  }
  std::size_t hi = n - 1;
  if (bounds.upper < e[n]) {
    hi = static_cast<std::size_t>(std::upper_bound(e, e + n + 1, bounds.upper) - e) - 1;
  } else {
    check = true;
  }
  if (hi < lo || hi - lo >= kMaxLeafClasses) return false;
  *first = lo;
  *classes = hi - lo + 1;
  *check_ends = check;
  return true;
}

LeafTiles::LeafTiles(const Points& rows, const Points& columns, std::size_t tile, bool diagonal)
    : rows_(rows, tile),
      grid_(rows.n, columns.n, tile, diagonal),
      diagonal_(diagonal),
      geographic_(rows.geographic) {
  if (!diagonal) columns_.emplace(columns, tile);
}

void LeafTiles::distances(std::size_t r, std::size_t c0, std::size_t count, double* out) const {
  const RowKernels& kernels = row_kernels();
  const LeafSet& columns = column_set();
  if (geographic_) {
    kernels.great_circle(geo_point(rows_.geo(), r), geo_run(columns.geo(), c0), count, out);
  } else {
    const Points& points = rows_.points();
    kernels.squared_distances(points.coordinates + r * points.dims, columns.coordinates() + c0,
                              columns.stride(), points.dims, count, out);
  }
}

bool LeafTiles::register_sums(const LeafSet::Leaf& a, const LeafSet::Leaf& b, bool same,
                              const LeafClasses& classes, Scratch& scratch, std::size_t* first,
                              std::size_t* count) const {
  const std::size_t dims = rows_.points().dims;
  if (!a.finite || !b.finite || dims == 0 || (!geographic_ && dims > kMaxGenericDims)) {
    return false;
  }
  bool check_ends = false;
  const LeafBounds bounds = leaf_bounds(a.lower, b.lower, rows_.box_dims(), geographic_);
  if (!classes.span(bounds, first, count, &check_ends)) return false;
  const LeafSet& columns = column_set();
  const std::size_t rows = a.end - a.first;
  const std::size_t width = b.end - b.first;
  LeafPair pair{rows,
                width,
                same,
                geographic_ ? nullptr : rows_.coordinates() + a.first,
                rows_.stride(),
                geographic_ ? nullptr : columns.coordinates() + b.first,
                columns.stride(),
                dims,
                nullptr,
                bounds.small_angles,
                geographic_ ? geo_run(rows_.geo(), a.first) : GeoRun{},
                geographic_ ? geo_run(columns.geo(), b.first) : GeoRun{},
                rows_.values() + a.first,
                columns.values() + b.first,
                classes.edges() + *first,
                *count,
                check_ends};
  const RowKernels& kernels = row_kernels();
  if (geographic_ && !bounds.small_angles) {
    std::vector<double>& stored = scratch.leaf_distances;
    if (stored.empty()) stored.assign(kLeafEdge * kLeafEdge, 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t end = same ? r : width;
      kernels.great_circle(geo_point(rows_.geo(), a.first + r), geo_run(columns.geo(), b.first),
                           end, stored.data() + r * kLeafEdge);
    }
    pair.distances = stored.data();
  }
  kernels.leaf_sums(pair, &scratch.sums);
  return true;
}

}  // namespace orv::krige::pairs
