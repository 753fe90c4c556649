// Which distance classes a distance belongs to: class k holds the distances
// d with edges[k] <= d < edges[k + 1] (half-open; NaN is in no class).
#pragma once

#include <cstddef>
#include <vector>

namespace orv::krige {

// n_lags classes; data holds n_lags + 1 edges.
struct ClassEdges {
  const double* data;
  std::size_t n_lags;
};

constexpr std::size_t kNoClass = static_cast<std::size_t>(-1);

// Equal-width classes 0 .. last seen as a grid: y = (d - front) * scale is
// within `margin` of k at the lower edge of class k. A distance in
// [front, back) whose y is farther than margin from every integer lies in
// class min(floor(y), last). Without such a grid, margin is infinite and every distance is looked
// up with look_up (given `locator`). `none` (the class count) stands for no class.
struct ClassGrid {
  double front;
  double back;
  double scale;
  double last;
  double margin;
  double none;
  double (*look_up)(const void* locator, double d);
  const void* locator;
};

// Classes that can hold nothing (NaN edge, upper edge not above the lower)
// are left out. When the remaining classes are ordered and disjoint, as
// equal-width edges always are, a distance belongs to at most one: it is
// guessed from the class width and confirmed against the actual edge
// values, falling back to a binary search. Otherwise every class is tested,
// so the membership rule holds for any edges.
class ClassLocator {
 public:
  explicit ClassLocator(const ClassEdges& edges);
  // The grid points back at its locator.
  ClassLocator(const ClassLocator&) = delete;
  ClassLocator& operator=(const ClassLocator&) = delete;

  std::size_t n_lags() const { return n_lags_; }
  bool holds_nothing() const { return lower_.empty(); }
  // At most one class per distance: find() tells which.
  bool ordered() const { return ordered_; }

  // The grid of the classes, for ordered edges.
  const ClassGrid& grid() const { return grid_; }

  // The class of d, or kNoClass; only for ordered edges.
  std::size_t find(double d) const {
    if (!(d >= front_ && d < back_)) return kNoClass;
    // x >= 0 here, or NaN when d - front_ overflowed and scale_ is 0.
    const double x = (d - front_) * scale_;
    std::size_t m = x < last_as_double_ ? static_cast<std::size_t>(x) : last_;
    if (d < lower_[m] || (m < last_ && d >= lower_[m + 1])) m = search(d);
    return d < upper_[m] ? class_[m] : kNoClass;
  }

  // Calls add(k) for every class k that holds d, in class order.
  template <class Add>
  void each_class(double d, Add&& add) const {
    for (std::size_t m = 0; m < lower_.size(); ++m) {
      if (lower_[m] <= d && d < upper_[m]) add(class_[m]);
    }
  }

 private:
  std::size_t search(double d) const;
  double grid_margin() const;
  static double look_up(const void* locator, double d);

  std::size_t n_lags_;
  std::vector<double> lower_;
  std::vector<double> upper_;
  std::vector<std::size_t> class_;
  bool ordered_ = true;
  double front_ = 0.0;
  double back_ = 0.0;
  double scale_ = 0.0;
  std::size_t last_ = 0;
  double last_as_double_ = 0.0;
  ClassGrid grid_{};
};

}  // namespace orv::krige
