// Where the point pairs of the experimental semivariogram come from: the
// geographic distance matrix, the projected points themselves, or the
// condensed arrays of a pdist replacement. The pair data stay in the
// arrays the caller made; nothing of size n * n is built here.
#pragma once

#include <cstddef>
#include <variant>

#include "krige/core/common.hpp"
#include "krige/core/float64_view.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige {

// IndexError as numpy words a boolean mask whose length along `axis`
// (mask_size) differs from the indexed array's (axis_size).
[[noreturn]] void raise_mask_mismatch(int axis, std::size_t axis_size, std::size_t mask_size);

// Remembers SciPy's own pdist when SciPy's distance module is already loaded,
// so that a replacement bound there later is not taken for it.
void remember_scipy_pdist();

class PairSource {
 public:
  // "GEOGCS": d = great_circle_distance(points, points), pairs below the
  // diagonal, semivariance from values[j] - values[i]. When the service is
  // the package's own and the points are what it takes as they are, its
  // distances are computed pair by pair instead, by the same native code.
  static PairSource geographic(const Call& call, py::handle points, py::handle values);

  // "PROJCS": Euclidean distances as spatial.distance.pdist gives them.
  static PairSource projected(const Call& call, py::handle points, py::handle values);

  // Both passes run without the interpreter lock.
  DistanceRange range() const;
  ClassTotals totals(const ClassEdges& edges) const;

  // A pdist replacement gave a different number of value pairs than
  // distances; (distance pairs, value pairs) then tell how many.
  bool mismatched() const { return distance_pairs_ != value_pairs_; }
  std::size_t distance_pairs() const { return distance_pairs_; }
  std::size_t value_pairs() const { return value_pairs_; }

 private:
  struct Condensed {
    Float64View distance;
    Float64View squared_difference;
  };
  struct Matrix {
    Float64View distance;
    Float64View values;
  };
  // Projected or geographic points.
  struct PointSet {
    Float64View coordinates;
    std::size_t dims;
    Float64View values;
    bool geographic;
    Points points() const {
      return {coordinates.data(), values.size(), dims, values.data(), geographic};
    }
  };

  static PairSource condensed(const Call& call, py::handle pdist, py::handle points,
                              py::handle column);

  std::variant<Condensed, Matrix, PointSet> pairs_;
  std::size_t distance_pairs_ = 0;
  std::size_t value_pairs_ = 0;
};

}  // namespace orv::krige
