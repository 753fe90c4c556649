// Argument checks of the kriging module's functions: numbers, flags and
// float64 arrays of the expected shapes, each error naming the argument.
#pragma once

#include <cstddef>

#include "krige/core/float64_view.hpp"

namespace orv::krige::kriging {

// A Python int in [0, limit] as a size (TypeError / ValueError otherwise).
std::size_t size_argument(py::handle number, const char* name, std::size_t limit);

// A Python int or float as a double (TypeError otherwise; NaN allowed).
double real_argument(py::handle number, const char* name);

// The truth of a bool (TypeError for anything else).
bool flag_argument(py::handle flag, const char* name);

// A C-contiguous float64 array of `ndim` dimensions (ValueError otherwise).
Float64View array_argument(py::handle array, const char* name, int ndim);

// A new float64 numpy array of the given shape (one or two extents).
py::object new_array(py::handle np, std::size_t rows, std::size_t columns, bool matrix);

}  // namespace orv::krige::kriging
