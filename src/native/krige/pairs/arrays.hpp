// Argument checks of the pair-tile functions: float64 C-contiguous arrays of
// the expected shapes, and small numbers.
#pragma once

#include <cstddef>

#include "krige/core/float64_view.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige::tiles {

// A point block: coordinates (n rows; two columns, longitude and latitude,
// when geographic) and, unless `values` is null, one value per point. The
// views keep the arrays alive while the returned points are in use.
struct PointBlock {
  Float64View coordinates;
  Float64View values;
  Points points;
};

PointBlock point_block(py::handle coordinates, py::handle values, bool geographic,
                       const char* name);

// A non-negative Python int as a size (TypeError / ValueError otherwise).
std::size_t size_argument(py::handle number, const char* name);

// The truth of a bool argument (TypeError for anything else).
bool flag_argument(py::handle flag, const char* name);

// A new 1-D numpy array of `n` int64 or float64 values copied from `data`.
py::object int64_array(py::handle np, const std::uint64_t* data, std::size_t n);
py::object float64_array(py::handle np, const double* data, std::size_t n);

}  // namespace orv::krige::tiles
