// The pair source of the point passes: the pairs of a tile are visited leaf
// pair by leaf pair, a leaf being kLeafEdge consecutive points of a tile.
// For points in spatial order (spatial_order) a leaf is a compact cluster, so
// the boxes of two leaves bound the distances of their pairs: when those span
// at most kMaxLeafClasses classes, the row kernels sum the leaf pair in
// registers (leaf_sums) instead of sending each pair to a class slot. Which
// way a leaf pair goes depends on its points and the edges alone, so the
// bits of a tile stay fixed by the tile.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "krige/kernel/class_locator.hpp"
#include "krige/kernel/great_circle.hpp"
#include "krige/kernel/pair_runs.hpp"
#include "krige/kernel/row_kernels.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige::pairs {

// One point set cut into leaves tile by tile: its coordinates column by
// column and its values, both readable eight points past the end, and the
// box of each leaf (projected coordinates, or unit vectors of geographic
// points).
class LeafSet {
 public:
  LeafSet(const Points& points, std::size_t tile);

  struct Leaf {
    std::size_t first;
    std::size_t end;
    const double* lower;  // box_dims values, then box_dims upper bounds
    bool finite;          // no coordinate is NaN or infinite
  };

  // Leaf q of tile i.
  Leaf leaf(std::size_t i, std::size_t q) const;
  std::size_t leaves_per_tile() const { return leaves_per_tile_; }
  std::size_t box_dims() const { return box_dims_; }

  const Points& points() const { return points_; }
  // Projected points only.
  const double* coordinates() const { return columns_->column_start(0); }
  std::size_t stride() const { return columns_->stride(); }
  const double* values() const { return values_.data(); }
  const GeoColumns& geo() const { return geo_; }

 private:
  Points points_;
  std::size_t tile_;
  std::size_t leaves_per_tile_;
  std::size_t box_dims_;
  std::optional<ProjectedColumns> columns_;
  std::vector<double> values_;
  GeoColumns geo_;
  std::vector<double> boxes_;
  std::vector<char> finite_;
};

// The smallest and largest distance two leaves' pairs can have, from their
// boxes (a_box, b_box: dims lower, then dims upper bounds). For projected
// points both are exact bounds of the distances as the row kernels compute
// them (every rounding is monotonic). For geographic points they come from
// the chords of unit vectors, widened by 1e-9 relative and 1e-6 km: the
// rounding of the vectors and of the haversine expression stays below 1e-12
// km and 1e-15 relative.
struct LeafBounds {
  double lower;
  double upper;
  // Geographic points: every pair is less than 60 degrees apart.
  bool small_angles;
};
LeafBounds leaf_bounds(const double* a_box, const double* b_box, std::size_t dims, bool geographic);

// Vector loops over a leaf read up to this many points past its last one.
constexpr std::size_t kLeafPadding = 8;

// The coordinate terms of geographic points, readable kLeafPadding points
// past the last.
GeoColumns padded_geo_columns(const double* lon_lat, std::size_t n);

// The values of points (zeros without), readable kLeafPadding points past
// the last.
std::vector<double> padded_values(const Points& points);

// Which classes the edges' register sums use for a distance interval.
class LeafClasses {
 public:
  explicit LeafClasses(const ClassEdges& edges);
  // The first class and the class count for bounds, with check_ends set when
  // a pair may lie before the first class or after the last; false when the
  // leaf pair should go pair by pair.
  bool span(const LeafBounds& bounds, std::size_t* first, std::size_t* classes,
            bool* check_ends) const;
  const double* edges() const { return edges_.data; }

 private:
  ClassEdges edges_;
  bool ordered_;
};

// Row points against column points on a tile grid (with `diagonal` the same
// set, row > column), leaf pair by leaf pair.
class LeafTiles {
 public:
  LeafTiles(const Points& rows, const Points& columns, std::size_t tile, bool diagonal);

  std::size_t tiles() const { return grid_.count(); }
  std::size_t longest_run() const { return kLeafEdge; }

  // Every pair of tile t as runs of a row against a column leaf.
  template <class Use>
  void pair_runs(std::size_t t, Scratch& scratch, Use&& use) const {
    each_leaf_pair(t, [&](const LeafSet::Leaf& a, const LeafSet::Leaf& b, bool same) {
      runs(a, b, same, scratch, use);
    });
  }

  // The pairs of tile t, each leaf pair either summed in registers and
  // handed over as sums(first_class, classes, leaf_sums, rows) or as runs.
  template <class Sums, class Use>
  void leaf_pairs(std::size_t t, Scratch& scratch, const LeafClasses& classes, Sums&& sums,
                  Use&& use) const {
    each_leaf_pair(t, [&](const LeafSet::Leaf& a, const LeafSet::Leaf& b, bool same) {
      std::size_t first = 0;
      std::size_t count = 0;
      if (register_sums(a, b, same, classes, scratch, &first, &count)) {
        sums(first, count, scratch.sums, a.end - a.first);
      } else {
        runs(a, b, same, scratch, use);
      }
    });
  }

 private:
  template <class Visit>
  void each_leaf_pair(std::size_t t, Visit&& visit) const {
    const TileGrid::Tile tile = grid_.tile(t);
    const LeafSet& columns = column_set();
    for (std::size_t qr = 0; qr < rows_.leaves_per_tile(); ++qr) {
      const LeafSet::Leaf a = rows_.leaf(tile.i, qr);
      if (a.first >= a.end) break;
      for (std::size_t qc = 0; qc < columns.leaves_per_tile(); ++qc) {
        const bool same = diagonal_ && tile.i == tile.j && qc == qr;
        if (diagonal_ && tile.i == tile.j && qc > qr) break;
        const LeafSet::Leaf b = columns.leaf(tile.j, qc);
        if (b.first >= b.end) break;
        visit(a, b, same);
      }
    }
  }

  template <class Use>
  void runs(const LeafSet::Leaf& a, const LeafSet::Leaf& b, bool same, Scratch& scratch,
            Use& use) const {
    const LeafSet& columns = column_set();
    double* out = scratch.distances.data();
    for (std::size_t r = a.first; r < a.end; ++r) {
      const std::size_t end = same ? r : b.end;
      if (end <= b.first) continue;
      const std::size_t count = end - b.first;
      distances(r, b.first, count, out);
      use(PairRun{out, !geographic_, rows_.points().values[r], columns.values() + b.first, false,
                  count});
    }
  }

  // The distances (squared for projected points) of row r against `count`
  // column points from c0.
  void distances(std::size_t r, std::size_t c0, std::size_t count, double* out) const;

  bool register_sums(const LeafSet::Leaf& a, const LeafSet::Leaf& b, bool same,
                     const LeafClasses& classes, Scratch& scratch, std::size_t* first,
                     std::size_t* count) const;

  const LeafSet& column_set() const { return diagonal_ ? rows_ : *columns_; }

  LeafSet rows_;
  std::optional<LeafSet> columns_;
  TileGrid grid_;
  bool diagonal_;
  bool geographic_;
};

}  // namespace orv::krige::pairs
