// The per-pair arithmetic of one row of a tile: one point against a run of
// consecutive points. Each instruction-set path compiles the same loops
// with its own target flags (row_kernels.inl); none fuses a multiply with an
// add, so every path gives the same bits, and the path is chosen at run time
// from what the processor offers.
#pragma once

#include <cstddef>
#include <vector>

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

struct RowKernels {
  const char* name;
  // out[t] = the sum over the dims columns, in column order, of
  // (column[c * stride + t] - origin[c]) ** 2.
  void (*squared_distances)(const double* origin, const double* column, std::size_t stride,
                            std::size_t dims, std::size_t count, double* out);
  // values[t] = sqrt(values[t]).
  void (*square_roots)(double* values, std::size_t count);
  // out[t] = 0.5 * (others[t] - value) ** 2.
  void (*half_squared_differences)(double value, const double* others, std::size_t count,
                                   double* out);
  // out[t] = great_circle_km(a, point t of run).
  void (*great_circle)(const GeoPoint& a, const GeoRun& run, std::size_t count, double* out);
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
