#include "krige/kernel/class_locator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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
  grid_ = {front_,  back_, scale_, last_as_double_, grid_margin(), static_cast<double>(n_lags_),
           look_up, this};
}

// How far from the integers the grid position of a distance must be for its
// class to follow from the position alone: the largest deviation of an inner
// edge from its grid position, plus a bound on the rounding of the positions
// (two roundings of at most (last + 2) grid units each, with room to spare).
// Infinite unless every class is kept, the classes touch and the deviation
// is small against the class width.
double ClassLocator::grid_margin() const {
  constexpr double kInfinite = std::numeric_limits<double>::infinity();
  if (!ordered_ || lower_.size() != n_lags_ || !(scale_ > 0.0) || !std::isfinite(front_)) {
    return kInfinite;
  }
  double deviation = 0.0;
  for (std::size_t m = 0; m <= last_; ++m) {
    if (m < last_ && upper_[m] != lower_[m + 1]) return kInfinite;
    const double position = (lower_[m] - front_) * scale_;
    deviation = std::max(deviation, std::fabs(position - static_cast<double>(m)));
  }
  const double rounding = 16.0 * (last_as_double_ + 2.0) * std::numeric_limits<double>::epsilon();
  const double margin = deviation + rounding;
  return std::isfinite(margin) && margin < 0.01 ? margin : kInfinite;
}

double ClassLocator::look_up(const void* locator, double d) {
  const auto& self = *static_cast<const ClassLocator*>(locator);
  const std::size_t k = self.find(d);
  return static_cast<double>(k == kNoClass ? self.n_lags_ : k);
}

std::size_t ClassLocator::search(double d) const {
  const auto above = std::upper_bound(lower_.begin(), lower_.end(), d);
  return static_cast<std::size_t>(above - lower_.begin()) - 1;
}

}  // namespace orv::krige
