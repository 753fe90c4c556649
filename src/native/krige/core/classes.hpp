// The class rules of the experimental semivariogram, written once for every
// route: the kriging core calls them directly, the tiled runner, the cluster
// and the command line through the pair-tile module. They are the documented
// numpy steps, run through the module's np so that the errors, the edge
// rounding and the warnings are numpy's own.
#pragma once

#include <cstddef>

#include "krige/core/common.hpp"
#include "krige/core/float64_view.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige {

// With no pair there is no distance: np.max(d) of the documented algorithm
// raises numpy's error for a reduction without identity.
[[noreturn]] void raise_no_pairs(py::handle np);

// The n_lags distance classes of pairs whose distances run from d_min to
// d_max: bins = d_min + dd * np.arange(n_lags), dd = (d_max - d_min) / n_lags
// (both np.float64), then the upper edge of the last class, d_max + 0.001 or
// the next double above d_max where 0.001 is lost to rounding; lags and
// semivariance are np.zeros(n_lags). count is the loop count of
// range(n_lags), 0 when negative.
struct DistanceClasses {
  py::object bins;
  py::object lags;
  py::object semivariance;
  std::size_t count = 0;
  Float64View edge_view;  // bins

  ClassEdges edges() const { return {edge_view.data(), count}; }
};

DistanceClasses distance_classes(py::handle np, py::handle d_min, py::handle d_max,
                                 py::handle n_lags);

// The classes kept: the mask ~np.isnan(semivariance), and lags and
// semivariance at the mask.
struct KeptClasses {
  py::object kept;
  py::object lags;
  py::object semivariance;
};

// Fills lags[k] and semivariance[k] with the means of the classes of
// `totals` (NaN for a class without pairs) and keeps the classes whose
// semivariance is not NaN. numpy's mean of an empty array is taken once when
// a class is empty, so that its runtime warnings are those of the documented
// per-class np.mean (once, not once per empty class).
KeptClasses kept_class_means(py::handle np, py::handle lags, py::handle semivariance,
                             const ClassTotals& totals);

}  // namespace orv::krige
