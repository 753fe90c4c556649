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

// The squared distances between two boxes, summed over the coordinates in
// the row kernels' order: the gap is never above, the span never below the
// squared distance of any pair of points in them as the row kernels compute
// it (every rounding is monotonic). A point is a box whose bounds are both
// the point.
struct BoxSeparation {
  double gap_squared;
  double span_squared;
};

inline BoxSeparation box_separation(const double* a_low, const double* a_high, const double* b_low,
                                    const double* b_high, std::size_t dims) {
  BoxSeparation out{0.0, 0.0};
  for (std::size_t c = 0; c < dims; ++c) {
    double gap = 0.0;
    if (b_low[c] > a_high[c]) {
      gap = b_low[c] - a_high[c];
    } else if (a_low[c] > b_high[c]) {
      gap = a_low[c] - b_high[c];
    }
    const double up = b_high[c] - a_low[c];
    const double down = a_high[c] - b_low[c];
    const double span = up > down ? up : down;
    out.gap_squared += gap * gap;
    out.span_squared += span * span;
  }
  return out;
}

// The same for boxes stored as dims lower bounds followed by dims upper bounds.
inline BoxSeparation box_separation(const double* a, const double* b, std::size_t dims) {
  return box_separation(a, a + dims, b, b + dims, dims);
}

}  // namespace orv::krige
