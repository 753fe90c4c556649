// init_variogram_model: the experimental semivariogram, mean distance and
// mean semivariance per distance class. The O(n_lags) steps run through the
// module's np exactly as the documented numpy algorithm does them (so its
// errors, edge rounding and scalar types are numpy's own); the O(n^2) pair
// work is one native pass per statistic without the interpreter lock.
#include <cmath>
#include <limits>

#include "krige/core/functions.hpp"
#include "krige/core/pair_sources.hpp"

namespace orv::krige {
namespace {

py::object binary(PyObject* (*operation)(PyObject*, PyObject*), py::handle a, py::handle b) {
  return pyrt::steal_or_throw(operation(a.ptr(), b.ptr()));
}

double as_double(py::handle number) {
  const double value = PyFloat_AsDouble(number.ptr());
  if (value == -1.0 && PyErr_Occurred()) pyrt::throw_current();
  return value;
}

// np.max of an empty array raises numpy's error for a reduction without
// identity, as the documented np.max(d) does when there is no pair.
[[noreturn]] void raise_no_pairs(py::handle np) {
  py::object empty = np_call(np, PYRT_NAME("zeros"), {to_int(0)});
  np_call(np, PYRT_NAME("max"), {empty});
  pyrt::raise(PyExc_ValueError,
              "zero-size array to reduction operation maximum which has no identity");
}

// The upper edge of the last class: d_max + 0.001, or the next double above
// d_max where adding 0.001 is lost to rounding (distances from about 1e13
// on), so that the largest pair always stays inside the last class.
py::object last_edge(py::handle np, py::handle d_max) {
  py::object shifted = binary(PyNumber_Add, d_max, to_float(0.001));
  const double shifted_value = as_double(shifted);
  const double d_max_value = as_double(d_max);
  if (shifted_value > d_max_value || std::isnan(shifted_value)) return shifted;
  return np_call(np, PYRT_NAME("nextafter"),
                 {d_max, to_float(std::numeric_limits<double>::infinity())});
}

// The loop count of `for n in range(n_lags)`.
std::size_t class_loop_count(py::handle n_lags) {
  py::object index = pyrt::steal_or_throw(PyNumber_Index(n_lags.ptr()));
  const Py_ssize_t count = PyLong_AsSsize_t(index.ptr());
  if (count == -1 && PyErr_Occurred()) pyrt::throw_current();
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

// Fills lags[k] and semivariance[k] with the class means; an empty class
// gets NaN, and numpy's mean of an empty array is taken once so that its
// runtime warnings are issued as the documented per-class np.mean issues
// them (once here, not once per empty class).
void fill_class_means(py::handle np, const PairSource& pairs, py::handle bins, py::handle lags,
                      py::handle semivariance, std::size_t n_classes) {
  const Float64View edges = Float64View::of(bins, "bins");
  const Float64View lag_out = Float64View::of(lags, "lags", true);
  const Float64View semivariance_out = Float64View::of(semivariance, "semivariance", true);
  if (edges.size() < n_classes + 1 || lag_out.size() < n_classes ||
      semivariance_out.size() < n_classes) {
    pyrt::raise(PyExc_IndexError, "index %zu is out of bounds for the class arrays", n_classes);
  }
  const ClassTotals totals = pairs.totals(ClassEdges{edges.data(), n_classes});
  bool any_empty = false;
  for (std::size_t k = 0; k < n_classes; ++k) {
    if (totals.count[k] == 0) {
      any_empty = true;
      lag_out.mutable_data()[k] = std::numeric_limits<double>::quiet_NaN();
      semivariance_out.mutable_data()[k] = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    const double count = static_cast<double>(totals.count[k]);
    lag_out.mutable_data()[k] = totals.distance_sum[k] / count;
    semivariance_out.mutable_data()[k] = totals.semivariance_sum[k] / count;
  }
  if (any_empty) {
    np_call(np, PYRT_NAME("mean"), {np_call(np, PYRT_NAME("zeros"), {to_int(0)})});
  }
}

py::object init_variogram_model(const Call& call) {
  py::handle values = call.arg(1);
  py::handle n_lags = call.arg(2);
  py::handle gtype = call.arg(3);
  py::object points = pyrt::call(call.global(PYRT_NAME("init_points")), {call.arg(0)});

  const auto is = [&](py::handle literal) {
    return pyrt::truthy(
        binary([](PyObject* a, PyObject* b) { return PyObject_RichCompare(a, b, Py_EQ); }, gtype,
               literal));
  };
  PairSource pairs;
  if (is(PYRT_NAME("GEOGCS"))) {
    pairs = PairSource::geographic(call, points, values);
  } else if (is(PYRT_NAME("PROJCS"))) {
    pairs = PairSource::projected(call, points, values);
  } else {
    pyrt::raise_package_error(call, PYRT_NAME("SpmisError"), {}, {{PYRT_NAME("errors"), gtype}});
  }

  py::object np = call.global(PYRT_NAME("np"));
  const DistanceRange range = pairs.range();
  if (range.pairs == 0) raise_no_pairs(np);
  py::object float64 = pyrt::get_attr(np, PYRT_NAME("float64"));
  py::object d_max = pyrt::call(float64, {to_float(range.max)});
  py::object d_min = pyrt::call(float64, {to_float(range.min)});

  py::object dd = binary(PyNumber_TrueDivide, binary(PyNumber_Subtract, d_max, d_min), n_lags);
  py::object steps = binary(PyNumber_Multiply, dd, np_call(np, PYRT_NAME("arange"), {n_lags}));
  py::object bins = binary(PyNumber_Add, d_min, steps);
  bins = np_call(np, PYRT_NAME("append"), {bins, last_edge(np, d_max)});
  py::object lags = np_call(np, PYRT_NAME("zeros"), {n_lags});
  py::object semivariance = np_call(np, PYRT_NAME("zeros"), {n_lags});

  const std::size_t n_classes = class_loop_count(n_lags);
  if (n_classes > 0) {
    if (pairs.mismatched()) {
      // The documented loop fails selecting the semivariances with the
      // distance mask.
      raise_mask_mismatch(0, pairs.value_pairs(), pairs.distance_pairs());
    }
    fill_class_means(np, pairs, bins, lags, semivariance, n_classes);
  }

  py::object kept =
      pyrt::steal_or_throw(PyNumber_Invert(np_call(np, PYRT_NAME("isnan"), {semivariance}).ptr()));
  return py::make_tuple(pyrt::get_item(lags, kept), pyrt::get_item(semivariance, kept));
}

}  // namespace

const pyrt::FunctionSpec kInitVariogramModel = {"init_variogram_model",
                                                {"points", "values", "n_lags", "gtype"},
                                                "初始化半变异模型其他参数",
                                                init_variogram_model};

}  // namespace orv::krige
