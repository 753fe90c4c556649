#include "krige/kernel/class_locator.hpp"

#include <algorithm>
#include <cmath>

namespace orv::krige {

ClassLocator::ClassLocator(const ClassEdges& edges) : n_lags_(edges.n_lags) {
  for (std::size_t k = 0; k < edges.n_lags; ++k) {
    const double lower = edges.data[k];
    const double upper = edges.data[k + 1];
    if (!(lower < upper)) continue;
    if (!upper_.empty() && lower < upper_.back()) ordered_ = false;
    lower_.push_back(lower);
    upper_.push_back(upper);
    class_.push_back(k);
  }
  if (lower_.empty()) return;
  front_ = lower_.front();
  back_ = upper_.back();
  last_ = lower_.size() - 1;
  last_as_double_ = static_cast<double>(last_);
  const double scale = static_cast<double>(lower_.size()) / (back_ - front_);
  scale_ = std::isfinite(scale) ? scale : 0.0;
}

std::size_t ClassLocator::search(double d) const {
  const auto above = std::upper_bound(lower_.begin(), lower_.end(), d);
  return static_cast<std::size_t>(above - lower_.begin()) - 1;
}

}  // namespace orv::krige
