// The per-pair arithmetic of one row of a tile: one point against a run of
// consecutive points. Each instruction-set path compiles the same loops
// with its own target flags (row_kernels.inl); none fuses a multiply with an
// add, so every path gives the same bits, and the path is chosen at run time
// from what the processor offers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "krige/kernel/class_locator.hpp"
#include "krige/kernel/great_circle.hpp"

namespace orv::krige {

// A run of consecutive points of a GeoColumns.
struct GeoRun {
  const double *sin_half_lat, *cos_half_lat, *sin_half_lon, *cos_half_lon, *cos_lat;
};

inline GeoRun geo_run(const GeoColumns& columns, std::size_t first) {
  return {columns.sin_half_lat.data() + first, columns.cos_half_lat.data() + first,
          columns.sin_half_lon.data() + first, columns.cos_half_lon.data() + first,
          columns.cos_lat.data() + first};
}

// The class code of prepare() for a distance too close to an edge for the class
// width to settle it (ClassLocator::find decides).
constexpr double kLookUp = -1.0;

// An accumulator slot is four doubles: sum of distances, sum of
// semivariances, pair count (a sum of ones, exact far beyond any fold),
// padding.
constexpr std::size_t kSlotWidth = 4;

// The smallest and largest key seen, and whether a NaN was among them.
struct KeyRange {
  double lower;
  double upper;
  bool nan;
};

// One run of pairs as a source hands it over: the row point against
// `count` consecutive column points.
struct PairRun {
  const double* distance;  // distances, or their squares when `squared`
  bool squared;
  double value;          // the row point's value
  const double* second;  // the column points' values, or the pairs' squared
  bool condensed;        // differences of values when `condensed`
  std::size_t count;
};

// The most classes a leaf pair's pairs may span for the register sums.
constexpr std::size_t kMaxLeafClasses = 4;
// Points per leaf of a leaf pair (a multiple of the eight lanes).
constexpr std::size_t kLeafEdge = 64;
// The most coordinates per point the register sums take.
constexpr std::size_t kMaxGenericDims = 16;

// The pairs of two leaves for the register sums: row points r < rows against
// column points c < columns (only c < r with `same_leaf`). The distances are
// computed from coordinates column by column (`dims` arrays, `stride` apart,
// readable up to the next multiple of eight columns) or read from
// `distances` (row-major, kLeafEdge apart), or, with `small_angles`, as
// great-circle distances from `row_geo` and `column_geo` of pairs known to
// be less than 60 degrees apart. `edges` holds classes + 1
// ordered class edges; unless `check_ends`, every pair is known to lie in
// [edges[0], edges[classes]), and with it the pairs outside lie in no class.
struct LeafPair {
  std::size_t rows;
  std::size_t columns;
  bool same_leaf;
  const double* row_coordinates;  // row r: dims values, stride apart
  std::size_t row_stride;
  const double* column_coordinates;
  std::size_t column_stride;
  std::size_t dims;
  const double* distances;
  bool small_angles;
  GeoRun row_geo;
  GeoRun column_geo;
  const double* row_values;
  const double* column_values;  // readable like the coordinates
  const double* edges;
  std::size_t classes;
  bool check_ends;
};

// Per class of a leaf pair and lane c % 8: sum of distances, sum of
// semivariances, pair count.
struct LeafSums {
  double distance[kMaxLeafClasses][8];
  double semivariance[kMaxLeafClasses][8];
  double count[kMaxLeafClasses][8];
};

struct RowKernels {
  const char* name;
  // out[t] = the sum over the dims columns, in column order, of
  // (column[c * stride + t] - origin[c]) ** 2.
  void (*squared_distances)(const double* origin, const double* column, std::size_t stride,
                            std::size_t dims, std::size_t count, double* out);
  // out[t] = great_circle_km(a, point t of run).
  void (*great_circle)(const GeoPoint& a, const GeoRun& run, std::size_t count, double* out);
  // out[t] = haversine(a, point t of run).
  void (*haversines)(const GeoPoint& a, const GeoRun& run, std::size_t count, double* out);
  // Widens *range by keys[0 .. count).
  void (*key_range)(const double* keys, std::size_t count, KeyRange* range);
  // The distance d[t] and semivariance g[t] = 0.5 * (second[t] - value) ** 2
  // (0.5 * second[t] when condensed) of each pair of the run, and its class
  // k[t] on the grid: a class, grid.none, or kLookUp.
  void (*prepare)(const ClassGrid& grid, const PairRun& run, double* d, double* g, double* k);
  // slot k[t] * 8 + t % 8 of `slots` += (d[t], g[t], 1, 0), where a kLookUp
  // class is found by grid.look_up.
  void (*accumulate)(const ClassGrid& grid, double* slots, const double* k, const double* d,
                     const double* g, std::size_t count);
  // out[t] = sqrt(in[t]): the plain loop whose throughput is the floor of
  // any pass with IEEE-exact distances (benchmarks time it).
  void (*square_roots)(const double* in, std::size_t count, double* out);
  // The class sums of a leaf pair in registers: each lane adds its pairs in
  // row order, so every path gives the same bits. Returns the number of
  // pairs in the classes.
  std::uint64_t (*leaf_sums)(const LeafPair& pair, LeafSums* out);
};

// The names of the paths this build and processor can run, baseline first.
std::vector<const char*> isa_paths();

// Forces the named path for the kernels that start afterwards (false when
// unknown or unavailable); nullptr returns to the best available one.
bool force_isa(const char* name);

// The path in use.
const RowKernels& row_kernels();

namespace isa {
extern const RowKernels kBaseline;
#if defined(__x86_64__) || defined(_M_X64)
extern const RowKernels kAvx2;
extern const RowKernels kAvx512;
#endif
}  // namespace isa

}  // namespace orv::krige
