// The coordinates the boxes of leaves are taken in.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

// The coordinates the boxes are taken in: the projected coordinates as they
// are, or the unit vectors of geographic points (boxes of longitude and
// latitude would break at the antimeridian and the poles).
class BoxSpace {
 public:
  explicit BoxSpace(const Points& points)
      : dims_(points.geographic ? 3 : points.dims), data_(points.coordinates) {
    if (!points.geographic) return;
    owned_.resize(points.n * 3);
    for (std::size_t i = 0; i < points.n; ++i) {
      const double lon = points.coordinates[2 * i] * kDegree;
      const double lat = points.coordinates[2 * i + 1] * kDegree;
      owned_[3 * i] = std::cos(lat) * std::cos(lon);
      owned_[3 * i + 1] = std::cos(lat) * std::sin(lon);
      owned_[3 * i + 2] = std::sin(lat);
    }
    data_ = owned_.data();
  }
  std::size_t dims() const { return dims_; }
  const double* point(std::size_t i) const { return data_ + i * dims_; }

 private:
  std::size_t dims_;
  const double* data_;
  std::vector<double> owned_;
};

}  // namespace orv::krige
