// The passes of the public variogram: the kriging core's own pass over all
// pairs (variogram_classes; the range is point_range), and the pass over points ordered
// in space with edges, a cut-off, estimators and a direction
// (spatial_order, pair_range, filtered_classes).
#include "krige/pairs/variogram.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "krige/core/float64_view.hpp"
#include "krige/kernel/filtered_pass.hpp"
#include "krige/pairs/arrays.hpp"
#include "krige/pairs/partial.hpp"
#include "pyrt/module.hpp"

namespace orv::krige::tiles {
namespace {

double float_argument(py::handle number, const char* name) {
  if (!PyFloat_Check(number.ptr()) && !PyLong_Check(number.ptr())) {
    pyrt::raise(PyExc_TypeError, "%s must be a float, not %R", name,
                reinterpret_cast<PyObject*>(Py_TYPE(number.ptr())));
  }
  const double value = PyFloat_AsDouble(number.ptr());
  if (value == -1.0 && PyErr_Occurred()) pyrt::throw_current();
  return value;
}

// Edges that never decrease, no NaN, at most kMaxFilteredClasses classes.
ClassEdges ordered_edges(const Float64View& edges) {
  if (edges.ndim() != 1 || edges.size() < 2) {
    pyrt::raise(PyExc_ValueError, "edges must be one-dimensional with n_lags + 1 >= 2 entries");
  }
  const std::size_t n_lags = edges.size() - 1;
  if (n_lags > kMaxFilteredClasses) {
    pyrt::raise(PyExc_ValueError, "at most %zu classes, not %zu", kMaxFilteredClasses, n_lags);
  }
  for (std::size_t k = 0; k < n_lags; ++k) {
    if (!(edges.data()[k] <= edges.data()[k + 1])) {
      pyrt::raise(PyExc_ValueError, "edges must not decrease, nor be NaN (edge %zu, %zu)", k,
                  k + 1);
    }
  }
  return ClassEdges{edges.data(), n_lags};
}

Part part_argument(py::handle index, py::handle count) {
  const Part part{size_argument(index, "part"), size_argument(count, "parts")};
  if (part.index >= part.count) pyrt::raise(PyExc_ValueError, "part must be below parts");
  return part;
}

// 0 for the default thread count.
unsigned thread_argument(py::handle threads) {
  const std::size_t count = size_argument(threads, "threads");
  return count > 256 ? 256u : static_cast<unsigned>(count);
}

py::object spatial_order_of(const Call& call) {
  const bool geographic = flag_argument(call.arg(1), "geographic");
  const PointBlock block = point_block(call.arg(0), {}, geographic, "coords");
  std::vector<std::uint64_t> order;
  {
    ReleasedGil unlocked;
    const std::vector<std::size_t> index = spatial_order(block.points);
    order.assign(index.begin(), index.end());
  }
  return int64_array(call.global(PYRT_NAME("np")), order.data(), order.size());
}

py::object variogram_classes_of(const Call& call) {
  const bool geographic = flag_argument(call.arg(3), "geographic");
  const PointBlock block = point_block(call.arg(0), call.arg(1), geographic, "coords");
  const Float64View edge_view = Float64View::of(call.arg(2), "edges");
  const ClassEdges edges = ordered_edges(edge_view);
  ClassTotals totals;
  {
    ReleasedGil unlocked;
    totals = class_totals(block.points, edges);
  }
  // Each rounded class sum is the exact sum of a single term: the partial gives it back.
  ClassPartials partials(edges.n_lags);
  for (std::size_t k = 0; k < edges.n_lags; ++k) {
    if (totals.count[k] == 0) continue;
    partials.add_tile_class(k, totals.count[k], totals.distance_sum[k], totals.semivariance_sum[k]);
  }
  return make_partial(call, partials);
}

py::object pair_range_of(const Call& call) {
  const bool geographic = flag_argument(call.arg(1), "geographic");
  const PointBlock block = point_block(call.arg(0), {}, geographic, "coords");
  const double cutoff = float_argument(call.arg(2), "cutoff");
  const Part part = part_argument(call.arg(3), call.arg(4));
  const unsigned threads = thread_argument(call.arg(5));
  DistanceExtremes extremes{};
  {
    ReleasedGil unlocked;
    extremes = visited_range(block.points, cutoff, part, threads);
  }
  return py::make_tuple(to_float(extremes.smallest), to_float(extremes.largest));
}

Estimator estimator_argument(py::handle name) {
  if (pyrt::equals(name, PYRT_NAME("matheron"))) return Estimator::kMatheron;
  if (pyrt::equals(name, PYRT_NAME("cressie"))) return Estimator::kCressie;
  pyrt::raise(PyExc_ValueError, "estimator must be 'matheron' or 'cressie', not %R", name.ptr());
}

py::object filtered_classes_of(const Call& call) {
  const bool geographic = flag_argument(call.arg(3), "geographic");
  const PointBlock block = point_block(call.arg(0), call.arg(1), geographic, "coords");
  const Float64View edge_view = Float64View::of(call.arg(2), "edges");
  const ClassEdges edges = ordered_edges(edge_view);
  const Estimator estimator = estimator_argument(call.arg(4));
  Direction direction{0.0, 90.0};
  const bool directional = !call.arg(5).is_none();
  if (directional) {
    if (block.points.dims < 2) {
      pyrt::raise(PyExc_ValueError, "a direction needs points of two or more coordinates");
    }
    direction = {float_argument(call.arg(5), "azimuth"), float_argument(call.arg(6), "tolerance")};
  }
  const Part part = part_argument(call.arg(7), call.arg(8));
  const unsigned threads = thread_argument(call.arg(9));
  ClassPartials partials;
  {
    ReleasedGil unlocked;
    partials = filtered_classes(block.points, edges, estimator, directional ? &direction : nullptr,
                                part, threads);
  }
  return make_partial(call, partials);
}

const pyrt::FunctionSpec kSpatialOrder = {
    "spatial_order",
    {"coords", "geographic"},
    "A permutation (int64) that orders the points in space, for filtered_classes.",
    spatial_order_of};

const pyrt::FunctionSpec kVariogramClasses = {
    "variogram_classes",
    {"coords", "values", "edges", "geographic"},
    "The ClassPartial of all pairs by the kriging core's pass (the bits of its classes).",
    variogram_classes_of};

const pyrt::FunctionSpec kPairRange = {
    "pair_range",
    {"coords", "geographic", "cutoff", "part", "parts", "threads"},
    "(smallest, largest) distance of the pairs the filtered pass visits for a cut-off, over\n"
    "the units of a part (NaN, NaN: none). The smallest is that of all pairs whenever it is\n"
    "at most the cut-off; with an infinite cut-off both are those of all pairs. threads 0:\n"
    "the default count.",
    pair_range_of};

const pyrt::FunctionSpec kFilteredClasses = {
    "filtered_classes",
    {"coords", "values", "edges", "geographic", "estimator", "azimuth", "tolerance", "part",
     "parts", "threads"},
    "The ClassPartial of the pairs in a class (and within tolerance degrees of the azimuth\n"
    "unless it is None) over the units of a part; the sums are of half squared differences\n"
    "('matheron') or of roots of absolute differences ('cressie'). Points in spatial_order\n"
    "make the pairs beyond the last edge cheap. threads 0: the default count.",
    filtered_classes_of};

}  // namespace

void add_variogram_functions(py::handle globals) {
  for (const pyrt::FunctionSpec* spec :
       {&kSpatialOrder, &kVariogramClasses, &kPairRange, &kFilteredClasses}) {
    pyrt::set_global(globals, spec->name, pyrt::make_function(*spec, globals, nullptr, {}, {}));
  }
}

}  // namespace orv::krige::tiles
