// A copy of a point set in spatial order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "krige/kernel/filtered_pass.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige {

// The points in spatial_order, values alongside.
class OrderedPoints {
 public:
  explicit OrderedPoints(const Points& points)
      : points_(points),
        coordinates_(points.n * points.dims),
        values_(points.values != nullptr ? points.n : 0) {
    const std::vector<std::size_t> order = spatial_order(points);
    for (std::size_t i = 0; i < points.n; ++i) {
      std::copy_n(points.coordinates + order[i] * points.dims, points.dims,
                  coordinates_.begin() + i * points.dims);
      if (points.values != nullptr) values_[i] = points.values[order[i]];
    }
    points_.coordinates = coordinates_.data();
    points_.values = points.values != nullptr ? values_.data() : nullptr;
  }
  const Points& points() const { return points_; }

 private:
  Points points_;
  std::vector<double> coordinates_;
  std::vector<double> values_;
};

}  // namespace orv::krige
