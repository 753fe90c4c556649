// The pair sources of the passes. Each cuts its pairs into work units
// ("tiles") and hands a tile over as runs of consecutive pairs: one call
// with the distances (or a key whose order is theirs) and semivariances of
// up to one tile edge of pairs, the pair at position t of a run lying in lane t % 8.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

#include "krige/kernel/great_circle.hpp"
#include "krige/kernel/row_kernels.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige::pairs {

// What the range pass of a source sees per pair: the distance itself, its
// square (sqrt keeps the order exactly), or the haversine, from which the
// distance follows up to the rounding of the distance formula.
enum class KeyKind { kDistance, kSquaredDistance, kHaversine };

// The run of condensed pairs: a row of a point-set tile long.
constexpr std::size_t kRun = kTileEdge;

// Per-thread buffers of one run.
struct Scratch {
  explicit Scratch(std::size_t run) : distances(run) {}
  std::vector<double> distances;
  // The distances of a leaf pair and its register sums (leaf_tiles.hpp).
  std::vector<double> leaf_distances;
  LeafSums sums{};
};

// The tiles of a rows-by-columns grid of pairs; with `diagonal` the row set
// is the column set and only row > column is a pair, so the tiles form the
// lower triangle (I >= J), numbered row of tiles by row of tiles.
class TileGrid {
 public:
  TileGrid(std::size_t rows, std::size_t columns, std::size_t tile, bool diagonal)
      : rows_(rows), columns_(columns), tile_(tile), diagonal_(diagonal) {
    row_tiles_ = (rows + tile - 1) / tile;
    column_tiles_ = (columns + tile - 1) / tile;
  }

  std::size_t count() const {
    return diagonal_ ? row_tiles_ * (row_tiles_ + 1) / 2 : row_tiles_ * column_tiles_;
  }

  // Tile t holds the rows of block i against the columns of block j.
  struct Tile {
    std::size_t i;
    std::size_t j;
  };
  Tile tile(std::size_t t) const {
    if (!diagonal_) return {t / column_tiles_, t % column_tiles_};
    // Largest i with i (i + 1) / 2 <= t.
    std::size_t i =
        static_cast<std::size_t>((std::sqrt(8.0 * static_cast<double>(t) + 1.0) - 1.0) / 2.0);
    while (i * (i + 1) / 2 > t) --i;
    while ((i + 1) * (i + 2) / 2 <= t) ++i;
    return {i, t - i * (i + 1) / 2};
  }

  // Calls run(r, c0, count) for each row r of tile t that has pairs, in row
  // order: the pairs (r, c0) ... (r, c0 + count - 1).
  template <class Run>
  void each_row(std::size_t t, Run&& run) const {
    const auto [i, j] = tile(t);
    const std::size_t r0 = i * tile_;
    const std::size_t r1 = std::min(r0 + tile_, rows_);
    const std::size_t c0 = j * tile_;
    const std::size_t c1 = std::min(c0 + tile_, columns_);
    for (std::size_t r = r0; r < r1; ++r) {
      const std::size_t end = diagonal_ && i == j ? std::min(c1, r) : c1;
      if (end > c0) run(r, c0, end - c0);
    }
  }

 private:
  std::size_t rows_;
  std::size_t columns_;
  std::size_t tile_;
  bool diagonal_;
  std::size_t row_tiles_ = 0;
  std::size_t column_tiles_ = 0;
};

// Projected points, coordinates column by column so that one coordinate of
// a run of points is contiguous.
class ProjectedColumns {
 public:
  // `padding` zeros follow each coordinate's column, so that vector loops may
  // read past the last point.
  explicit ProjectedColumns(const Points& points, std::size_t padding = 0)
      : n_(points.n + padding), dims_(points.dims), data_(n_ * points.dims, 0.0) {
    for (std::size_t i = 0; i < points.n; ++i) {
      for (std::size_t c = 0; c < dims_; ++c) data_[c * n_ + i] = points.coordinates[i * dims_ + c];
    }
  }
  std::size_t dims() const { return dims_; }
  std::size_t stride() const { return n_; }
  const double* column_start(std::size_t first) const { return data_.data() + first; }

 private:
  std::size_t n_;
  std::size_t dims_;
  std::vector<double> data_;
};

// Row points against column points on a tile grid; with `diagonal` the
// column set is the row set, and only its prepared form of the rows is made.
class PointPairs {
 public:
  PointPairs(const Points& rows, const Points& columns, std::size_t tile, bool diagonal)
      : rows_(rows),
        columns_(columns),
        grid_(rows.n, columns.n, tile, diagonal),
        tile_(tile),
        geographic_(rows.geographic) {
    if (geographic_) {
      geo_rows_ = GeoColumns(rows.coordinates, rows.n);
      if (!diagonal) geo_columns_ = GeoColumns(columns.coordinates, columns.n);
    } else {
      projected_rows_.emplace(rows);
      if (!diagonal) projected_columns_.emplace(columns);
    }
    diagonal_ = diagonal;
  }

  std::size_t tiles() const { return grid_.count(); }
  std::size_t rows() const { return rows_.n; }
  // A row of a tile: the tile edge, or all the columns when there are fewer.
  std::size_t longest_run() const { return std::max<std::size_t>(1, std::min(tile_, columns_.n)); }

  KeyKind key_kind() const { return geographic_ ? KeyKind::kHaversine : KeyKind::kSquaredDistance; }

  template <class Use>
  void key_runs(std::size_t t, Scratch& scratch, Use&& use) const {
    row_key_runs(
        t, scratch, [](std::size_t) { return true; },
        [&](std::size_t, const double* keys, std::size_t count) { use(keys, count); });
  }

  // The key runs of the rows r of tile t for which wanted(r) holds, as
  // use(r, keys, count); the keys of the other rows are not computed.
  template <class Wanted, class Use>
  void row_key_runs(std::size_t t, Scratch& scratch, Wanted&& wanted, Use&& use) const {
    grid_.each_row(t, [&](std::size_t r, std::size_t c0, std::size_t count) {
      if (!wanted(r)) return;
      key_run(r, c0, count, scratch.distances.data());
      use(r, static_cast<const double*>(scratch.distances.data()), count);
    });
  }

  template <class Use>
  void pair_runs(std::size_t t, Scratch& scratch, Use&& use) const {
    const RowKernels& kernels = row_kernels();
    grid_.each_row(t, [&](std::size_t r, std::size_t c0, std::size_t count) {
      double* out = scratch.distances.data();
      if (geographic_) {
        const GeoColumns& columns = diagonal_ ? geo_rows_ : geo_columns_;
        kernels.great_circle(geo_point(geo_rows_, r), geo_run(columns, c0), count, out);
      } else {
        squared_distances(kernels, r, c0, count, out);
      }
      use(PairRun{out, !geographic_, rows_.values[r], columns_.values + c0, false, count});
    });
  }

 private:
  void key_run(std::size_t r, std::size_t c0, std::size_t count, double* out) const {
    const RowKernels& kernels = row_kernels();
    if (geographic_) {
      const GeoColumns& columns = diagonal_ ? geo_rows_ : geo_columns_;
      kernels.haversines(geo_point(geo_rows_, r), geo_run(columns, c0), count, out);
    } else {
      squared_distances(kernels, r, c0, count, out);
    }
  }

  void squared_distances(const RowKernels& kernels, std::size_t r, std::size_t c0,
                         std::size_t count, double* out) const {
    const ProjectedColumns& columns = diagonal_ ? *projected_rows_ : *projected_columns_;
    const double* origin = rows_.coordinates + r * rows_.dims;
    kernels.squared_distances(origin, columns.column_start(c0), columns.stride(), columns.dims(),
                              count, out);
  }

  Points rows_;
  Points columns_;
  TileGrid grid_;
  std::size_t tile_;
  bool geographic_;
  bool diagonal_ = true;
  GeoColumns geo_rows_;
  GeoColumns geo_columns_;
  std::optional<ProjectedColumns> projected_rows_;
  std::optional<ProjectedColumns> projected_columns_;
};

// The entries of a distance matrix below its diagonal, tile by tile.
class MatrixPairs {
 public:
  explicit MatrixPairs(const DistanceMatrix& matrix)
      : matrix_(matrix), grid_(matrix.n, matrix.n, kTileEdge, true) {}

  std::size_t tiles() const { return grid_.count(); }
  std::size_t longest_run() const { return kTileEdge; }
  KeyKind key_kind() const { return KeyKind::kDistance; }

  template <class Use>
  void key_runs(std::size_t t, Scratch&, Use&& use) const {
    grid_.each_row(t, [&](std::size_t r, std::size_t c0, std::size_t count) {
      use(matrix_.data + r * matrix_.row_stride + c0, count);
    });
  }

  template <class Use>
  void pair_runs(std::size_t t, Scratch&, Use&& use) const {
    grid_.each_row(t, [&](std::size_t r, std::size_t c0, std::size_t count) {
      use(PairRun{matrix_.data + r * matrix_.row_stride + c0, false, matrix_.values[r],
                  matrix_.values + c0, false, count});
    });
  }

 private:
  DistanceMatrix matrix_;
  TileGrid grid_;
};

// Condensed arrays in their own order, cut into tiles of kCondensedTile
// consecutive pairs and runs of kRun.
class CondensedRuns {
 public:
  static constexpr std::size_t kCondensedTile = 128 * kRun;

  explicit CondensedRuns(const CondensedPairs& pairs) : pairs_(pairs) {}

  std::size_t tiles() const { return (pairs_.size + kCondensedTile - 1) / kCondensedTile; }
  std::size_t longest_run() const { return kRun; }
  KeyKind key_kind() const { return KeyKind::kDistance; }

  template <class Use>
  void key_runs(std::size_t t, Scratch&, Use&& use) const {
    each_run(t, [&](std::size_t first, std::size_t count) { use(pairs_.distance + first, count); });
  }

  template <class Use>
  void pair_runs(std::size_t t, Scratch&, Use&& use) const {
    each_run(t, [&](std::size_t first, std::size_t count) {
      use(PairRun{pairs_.distance + first, false, 0.0, pairs_.squared_difference + first, true,
                  count});
    });
  }

 private:
  template <class Run>
  void each_run(std::size_t t, Run&& run) const {
    const std::size_t end = std::min(pairs_.size, (t + 1) * kCondensedTile);
    for (std::size_t first = t * kCondensedTile; first < end; first += kRun) {
      run(first, std::min(kRun, end - first));
    }
  }

  CondensedPairs pairs_;
};

}  // namespace orv::krige::pairs
