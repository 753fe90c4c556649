// The loops of one instruction-set path; included by one translation unit
// per path with ORV_ISA_PATH naming the path, and compiled with its flags.
#include <cmath>
#include <cstring>

#include "krige/kernel/row_kernels.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace orv::krige::isa {
namespace ORV_ISA_PATH {
namespace {

void squared_distances(const double* origin, const double* column, std::size_t stride,
                       std::size_t dims, std::size_t count, double* __restrict out) {
  if (dims == 0) {
    for (std::size_t t = 0; t < count; ++t) out[t] = 0.0;
    return;
  }
  const double* __restrict first = column;
  const double o0 = origin[0];
  for (std::size_t t = 0; t < count; ++t) {
    const double diff = first[t] - o0;
    out[t] = diff * diff;
  }
  for (std::size_t c = 1; c < dims; ++c) {
    const double* __restrict next = column + c * stride;
    const double o = origin[c];
    for (std::size_t t = 0; t < count; ++t) {
      const double diff = next[t] - o;
      out[t] += diff * diff;
    }
  }
}

// The loop body for one point against a run; `Pair` is the per-pair formula.
template <double (*Pair)(const GeoPoint&, double, double, double, double, double)>
void geo_loop(const GeoPoint& a, const GeoRun& run, std::size_t count, double* __restrict out) {
  const GeoPoint p = a;
  const double* __restrict sin_half_lat = run.sin_half_lat;
  const double* __restrict cos_half_lat = run.cos_half_lat;
  const double* __restrict sin_half_lon = run.sin_half_lon;
  const double* __restrict cos_half_lon = run.cos_half_lon;
  const double* __restrict cos_lat = run.cos_lat;
  for (std::size_t t = 0; t < count; ++t) {
    out[t] = Pair(p, sin_half_lat[t], cos_half_lat[t], sin_half_lon[t], cos_half_lon[t],
                  cos_lat[t]);
  }
}

void great_circle(const GeoPoint& a, const GeoRun& run, std::size_t count, double* out) {
  geo_loop<great_circle_km>(a, run, count, out);
}

void haversines(const GeoPoint& a, const GeoRun& run, std::size_t count, double* out) {
  geo_loop<haversine>(a, run, count, out);
}

// The class of distance v on the grid (see ClassGrid): bitwise & and | (no
// short circuit), so that loops over it have no branch.
inline double grid_class(const ClassGrid& c, double v) {
  // Adding and taking away 2^52 rounds a double in [0, 2^51) to an integer.
  constexpr double kRound = 4503599627370496.0;
  const bool inside = (v >= c.front) & (v < c.back);
  // Inside, y >= 0 (or +inf, which lands in the last class, as it must); the
  // rounding trick may err by one from 2^51 on, where the last class is
  // certain anyway. Outside, y is discarded.
  const double y = (v - c.front) * c.scale;
  const double nearest = (y + kRound) - kRound;
  const double below = nearest > y ? nearest - 1.0 : nearest;
  const double m = below < c.last ? below : c.last;
  const bool clear_of_lower = y - m > c.margin;
  const bool clear_of_upper = (y >= c.last) | ((m + 1.0) - y > c.margin);
  const double settled = clear_of_lower & clear_of_upper ? m : kLookUp;
  return inside ? settled : c.none;
}

template <bool kSquared, bool kCondensed>
void prepare_run(const ClassGrid& grid, const PairRun& run, double* __restrict d,
                 double* __restrict g, double* __restrict k) {
  const ClassGrid c = grid;
  const double* __restrict distance = run.distance;
  const double* __restrict second = run.second;
  const double value = run.value;
  for (std::size_t t = 0; t < run.count; ++t) {
    const double v = kSquared ? std::sqrt(distance[t]) : distance[t];
    const double diff = second[t] - value;
    g[t] = kCondensed ? 0.5 * second[t] : 0.5 * (diff * diff);
    d[t] = v;
    k[t] = grid_class(c, v);
  }
}

void prepare(const ClassGrid& grid, const PairRun& run, double* d, double* g, double* k) {
  if (run.squared) {
    if (run.condensed) return prepare_run<true, true>(grid, run, d, g, k);
    return prepare_run<true, false>(grid, run, d, g, k);
  }
  if (run.condensed) return prepare_run<false, true>(grid, run, d, g, k);
  prepare_run<false, false>(grid, run, d, g, k);
}

// The range runs in vectors of this path's width; min and max are exact, so
// the width never changes the result.
typedef double RangeVector __attribute__((vector_size(ORV_ISA_VECTOR_BYTES)));
typedef long long RangeMask __attribute__((vector_size(ORV_ISA_VECTOR_BYTES)));
constexpr std::size_t kRangeLanes = ORV_ISA_VECTOR_BYTES / sizeof(double);

void key_range(const double* __restrict keys, std::size_t count, KeyRange* range) {
  RangeVector lower, upper;
  RangeMask nan;
  for (std::size_t lane = 0; lane < kRangeLanes; ++lane) {
    lower[lane] = __builtin_inf();
    upper[lane] = -__builtin_inf();
    nan[lane] = 0;
  }
  std::size_t t = 0;
  for (; t + kRangeLanes <= count; t += kRangeLanes) {
    RangeVector key;
    std::memcpy(&key, keys + t, sizeof key);
    lower = key < lower ? key : lower;
    upper = key > upper ? key : upper;
    nan |= key != key;
  }
  KeyRange result = *range;
  for (std::size_t lane = 0; lane < kRangeLanes; ++lane) {
    result.lower = lower[lane] < result.lower ? lower[lane] : result.lower;
    result.upper = upper[lane] > result.upper ? upper[lane] : result.upper;
    result.nan = result.nan || nan[lane] != 0;
  }
  for (; t < count; ++t) {
    const double key = keys[t];
    result.lower = key < result.lower ? key : result.lower;
    result.upper = key > result.upper ? key : result.upper;
    result.nan = result.nan || key != key;
  }
  *range = result;
}

// Four doubles at once; memcpy keeps it free of alignment demands.
typedef double SlotVector __attribute__((vector_size(32)));

inline void add_pair(const ClassGrid& grid, double* __restrict slots, double k, std::size_t lane,
                     double d, double g) {
  if (k < 0.0) k = grid.look_up(grid.locator, d);
  double* slot =
      slots + (static_cast<std::size_t>(static_cast<std::int64_t>(k)) * 8 + lane) * kSlotWidth;
  SlotVector sums;
  std::memcpy(&sums, slot, sizeof sums);
  const SlotVector pair = {d, g, 1.0, 0.0};
  sums += pair;
  std::memcpy(slot, &sums, sizeof sums);
}

void accumulate(const ClassGrid& grid, double* __restrict slots, const double* __restrict k,
                const double* __restrict d, const double* __restrict g, std::size_t count) {
  std::size_t t = 0;
  // Eight at a time, so that every lane is a constant.
  for (; t + 8 <= count; t += 8) {
    for (std::size_t lane = 0; lane < 8; ++lane) {
      add_pair(grid, slots, k[t + lane], lane, d[t + lane], g[t + lane]);
    }
  }
  for (; t < count; ++t) add_pair(grid, slots, k[t], t & 7, d[t], g[t]);
}

void square_roots(const double* __restrict in, std::size_t count, double* __restrict out) {
  for (std::size_t t = 0; t < count; ++t) out[t] = std::sqrt(in[t]);
}


// The register sums of a leaf pair. Eight lanes (column c in lane c % 8) are
// kParts vectors of this path's width; each lane adds its pairs in row order,
// and a pair outside a class adds exact zeros, so the width never changes
// the bits.
typedef double LaneVector __attribute__((vector_size(ORV_ISA_VECTOR_BYTES)));
typedef long long LaneMask __attribute__((vector_size(ORV_ISA_VECTOR_BYTES)));
constexpr std::size_t kWidth = ORV_ISA_VECTOR_BYTES / sizeof(double);
constexpr std::size_t kParts = 8 / kWidth;

inline LaneVector load(const double* p) {
  LaneVector v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline LaneVector splat(double x) {
  LaneVector v;
  for (std::size_t i = 0; i < kWidth; ++i) v[i] = x;
  return v;
}

inline LaneVector root(LaneVector x) {
#if ORV_ISA_VECTOR_BYTES == 64
  // The masked form with every lane set: the plain one trips GCC 12's
  // maybe-uninitialized warning inside its own header.
  return (LaneVector)_mm512_mask_sqrt_pd((__m512d)x, 0xFF, (__m512d)x);
#elif ORV_ISA_VECTOR_BYTES == 32
  return (LaneVector)_mm256_sqrt_pd((__m256d)x);
#elif defined(__SSE2__)
  return (LaneVector)_mm_sqrt_pd((__m128d)x);
#else
  for (std::size_t i = 0; i < kWidth; ++i) x[i] = std::sqrt(x[i]);
  return x;
#endif
}

inline LaneVector masked(LaneVector x, LaneMask keep) { return (LaneVector)((LaneMask)x & keep); }

// Distances from coordinates, as squared_distances sums them, then the root;
// Dims 0 for any number of coordinates.
template <std::size_t Dims>
class CoordinateDistances {
 public:
  explicit CoordinateDistances(const LeafPair& pair) : pair_(pair) {}

  void row(std::size_t r) {
    for (std::size_t c = 0; c < dims(); ++c) {
      origin_[Dims == 0 ? 0 : c] = splat(pair_.row_coordinates[c * pair_.row_stride + r]);
      if (Dims == 0) origins_[c] = pair_.row_coordinates[c * pair_.row_stride + r];
    }
  }

  LaneVector at(std::size_t first) const {
    const double* column = pair_.column_coordinates + first;
    LaneVector diff = load(column) - origin(0);
    LaneVector sum = diff * diff;
    for (std::size_t c = 1; c < dims(); ++c) {
      diff = load(column + c * pair_.column_stride) - origin(c);
      sum += diff * diff;
    }
    return root(sum);
  }

 private:
  std::size_t dims() const { return Dims == 0 ? pair_.dims : Dims; }
  LaneVector origin(std::size_t c) const {
    return Dims == 0 ? splat(origins_[c]) : origin_[c];
  }

  const LeafPair& pair_;
  LaneVector origin_[Dims == 0 ? 1 : Dims];
  double origins_[Dims == 0 ? kMaxGenericDims : 1];
};

// Distances computed beforehand, a row of kLeafEdge per row point.
class StoredDistances {
 public:
  explicit StoredDistances(const LeafPair& pair) : pair_(pair) {}
  void row(std::size_t r) { row_ = pair_.distances + r * kLeafEdge; }
  LaneVector at(std::size_t first) const { return load(row_ + first); }

 private:
  const LeafPair& pair_;
  const double* row_ = nullptr;
};

// Great-circle distances of pairs less than 60 degrees apart (haversine
// below 1/4): the operations great_circle_km does for them, whose arcsine
// takes its first branch (the root of its argument is then the root of the
// haversine already taken).
class SmallAngleDistances {
 public:
  explicit SmallAngleDistances(const LeafPair& pair) : pair_(pair) {}

  void row(std::size_t r) {
    const GeoRun& a = pair_.row_geo;
    sin_half_lat_ = splat(a.sin_half_lat[r]);
    cos_half_lat_ = splat(a.cos_half_lat[r]);
    sin_half_lon_ = splat(a.sin_half_lon[r]);
    cos_half_lon_ = splat(a.cos_half_lon[r]);
    cos_lat_ = splat(a.cos_lat[r]);
  }

  LaneVector at(std::size_t first) const {
    using namespace asin_terms;
    const GeoRun& b = pair_.column_geo;
    const LaneVector dlat =
        sin_half_lat_ * load(b.cos_half_lat + first) - cos_half_lat_ * load(b.sin_half_lat + first);
    const LaneVector dlon =
        sin_half_lon_ * load(b.cos_half_lon + first) - cos_half_lon_ * load(b.sin_half_lon + first);
    LaneVector h = (cos_lat_ * load(b.cos_lat + first)) * (dlon * dlon) + dlat * dlat;
    const LaneVector one = splat(1.0);
    const LaneVector zero = {};
    h = h > one ? one : h;
    h = h < zero ? zero : h;
    const LaneVector x = root(h);
    const LaneVector p = h * (kP0 + h * (kP1 + h * (kP2 + h * (kP3 + h * (kP4 + h * kP5)))));
    const LaneVector q = 1.0 + h * (kQ1 + h * (kQ2 + h * (kQ3 + h * kQ4)));
    const LaneVector y = x + x * (p / q);
    return (2.0 * kEarthRadiusKm) * y;
  }

 private:
  const LeafPair& pair_;
  LaneVector sin_half_lat_, cos_half_lat_, sin_half_lon_, cos_half_lon_, cos_lat_;
};

template <std::size_t Classes>
struct LaneSums {
  LaneVector distance[Classes][kParts] = {};
  LaneVector semivariance[Classes][kParts] = {};
  // Pair counts: each pair subtracts its all-ones mask, that is adds one.
  LaneMask count[Classes][kParts] = {};
};

// Eight pairs of a row: lanes below `left` are pairs (all of them unless
// Tail).
template <std::size_t Classes, bool Check, bool Tail, class Distances>
inline void add_eight(const LeafPair& pair, const Distances& distances, std::size_t first,
                      LaneVector value, const LaneVector* edge, LaneVector left,
                      LaneSums<Classes>& sums) {
  for (std::size_t h = 0; h < kParts; ++h) {
    const std::size_t c = first + h * kWidth;
    const LaneVector d = distances.at(c);
    const LaneVector diff = load(pair.column_values + c) - value;
    const LaneVector g = 0.5 * (diff * diff);
#if ORV_ISA_VECTOR_BYTES == 64
    // Mask registers: a masked add leaves the other lanes as they are, which
    // is what adding zero does.
    const __m512d x = (__m512d)d;
    __mmask8 above = 0xFF;
    if (Tail) {
      const __m512d lane = _mm512_set_pd(7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0);
      above = _mm512_cmp_pd_mask(lane, (__m512d)left, _CMP_LT_OQ);
    }
    if (Check) {
      above &= _mm512_cmp_pd_mask(x, (__m512d)edge[0], _CMP_GE_OQ) &
               _mm512_cmp_pd_mask(x, (__m512d)edge[Classes], _CMP_LT_OQ);
    }
    for (std::size_t j = 0; j < Classes; ++j) {
      __mmask8 in = above;
      if (j + 1 < Classes) {
        const __mmask8 next = _mm512_cmp_pd_mask(x, (__m512d)edge[j + 1], _CMP_GE_OQ);
        in = above & ~next;
        above &= next;
      }
      const __m512d distance = (__m512d)sums.distance[j][h];
      const __m512d semivariance = (__m512d)sums.semivariance[j][h];
      const __m512i count = (__m512i)sums.count[j][h];
      sums.distance[j][h] = (LaneVector)_mm512_mask_add_pd(distance, in, distance, x);
      sums.semivariance[j][h] =
          (LaneVector)_mm512_mask_add_pd(semivariance, in, semivariance, (__m512d)g);
      sums.count[j][h] = (LaneMask)_mm512_mask_sub_epi64(count, in, count, _mm512_set1_epi64(-1));
    }
#else
    LaneMask above = ~LaneMask{};
    if (Tail) {
      LaneVector lane;
      for (std::size_t i = 0; i < kWidth; ++i) lane[i] = static_cast<double>(h * kWidth + i);
      above = lane < left;
    }
    if (Check) above &= (d >= edge[0]) & (d < edge[Classes]);
    for (std::size_t j = 0; j < Classes; ++j) {
      LaneMask in = above;
      if (j + 1 < Classes) {
        const LaneMask next = d >= edge[j + 1];
        in = above & ~next;
        above &= next;
      }
      if (Classes == 1 && !Check && !Tail) {
        sums.distance[j][h] += d;
        sums.semivariance[j][h] += g;
      } else {
        sums.distance[j][h] += masked(d, in);
        sums.semivariance[j][h] += masked(g, in);
      }
      sums.count[j][h] -= in;
    }
#endif
  }
}

template <std::size_t Classes, bool Check, class Distances>
std::uint64_t leaf_sums_of(const LeafPair& pair, LeafSums* out) {
  Distances distances(pair);
  LaneSums<Classes> sums;
  LaneVector edge[Classes + 1];
  for (std::size_t j = 0; j <= Classes; ++j) edge[j] = splat(pair.edges[j]);
  for (std::size_t r = 0; r < pair.rows; ++r) {
    const std::size_t end = pair.same_leaf ? r : pair.columns;
    if (end == 0) continue;
    distances.row(r);
    const LaneVector value = splat(pair.row_values[r]);
    std::size_t first = 0;
    for (; first + 8 <= end; first += 8) {
      add_eight<Classes, Check, false>(pair, distances, first, value, edge, LaneVector{}, sums);
    }
    if (first < end) {
      add_eight<Classes, Check, true>(pair, distances, first, value, edge,
                                      splat(static_cast<double>(end - first)), sums);
    }
  }
  std::uint64_t total = 0;
  for (std::size_t j = 0; j < kMaxLeafClasses; ++j) {
    for (std::size_t lane = 0; lane < 8; ++lane) {
      const bool held = j < Classes;
      const std::size_t k = held ? j : 0;
      const std::size_t h = lane / kWidth;
      const std::size_t i = lane % kWidth;
      const double count = held ? static_cast<double>(sums.count[k][h][i]) : 0.0;
      out->distance[j][lane] = held ? sums.distance[k][h][i] : 0.0;
      out->semivariance[j][lane] = held ? sums.semivariance[k][h][i] : 0.0;
      out->count[j][lane] = count;
      total += static_cast<std::uint64_t>(count);
    }
  }
  return total;
}

template <std::size_t Classes, bool Check>
std::uint64_t leaf_sums_for(const LeafPair& pair, LeafSums* out) {
  if (pair.distances != nullptr) return leaf_sums_of<Classes, Check, StoredDistances>(pair, out);
  if (pair.small_angles) return leaf_sums_of<Classes, Check, SmallAngleDistances>(pair, out);
  switch (pair.dims) {
    case 2:
      return leaf_sums_of<Classes, Check, CoordinateDistances<2>>(pair, out);
    case 3:
      return leaf_sums_of<Classes, Check, CoordinateDistances<3>>(pair, out);
    default:
      return leaf_sums_of<Classes, Check, CoordinateDistances<0>>(pair, out);
  }
}

template <bool Check>
std::uint64_t leaf_sums_checked(const LeafPair& pair, LeafSums* out) {
  switch (pair.classes) {
    case 1:
      return leaf_sums_for<1, Check>(pair, out);
    case 2:
      return leaf_sums_for<2, Check>(pair, out);
    case 3:
      return leaf_sums_for<3, Check>(pair, out);
    default:
      return leaf_sums_for<4, Check>(pair, out);
  }
}

std::uint64_t leaf_sums(const LeafPair& pair, LeafSums* out) {
  return pair.check_ends ? leaf_sums_checked<true>(pair, out) : leaf_sums_checked<false>(pair, out);
}

}  // namespace
}  // namespace ORV_ISA_PATH

const RowKernels ORV_ISA_CONSTANT = {ORV_ISA_NAME,
                                     ORV_ISA_PATH::squared_distances,
                                     ORV_ISA_PATH::great_circle,
                                     ORV_ISA_PATH::haversines,
                                     ORV_ISA_PATH::key_range,
                                     ORV_ISA_PATH::prepare,
                                     ORV_ISA_PATH::accumulate,
                                     ORV_ISA_PATH::square_roots,
                                     ORV_ISA_PATH::leaf_sums};

}  // namespace orv::krige::isa
