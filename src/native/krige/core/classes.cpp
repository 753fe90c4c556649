#include "krige/core/classes.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace orv::krige {
namespace {

double as_double(py::handle number) {
  const double value = PyFloat_AsDouble(number.ptr());
  if (value == -1.0 && PyErr_Occurred()) pyrt::throw_current();
  return value;
}

// d_max + 0.001, or the next double above d_max where adding 0.001 is lost
// to rounding (distances from about 1e13 on), so that the largest pair
// always stays inside the last class.
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

}  // namespace

void raise_no_pairs(py::handle np) {
  py::object empty = np_call(np, PYRT_NAME("zeros"), {to_int(0)});
  np_call(np, PYRT_NAME("max"), {empty});
  pyrt::raise(PyExc_ValueError,
              "zero-size array to reduction operation maximum which has no identity");
}

DistanceClasses distance_classes(py::handle np, py::handle d_min, py::handle d_max,
                                 py::handle n_lags) {
  py::object float64 = pyrt::get_attr(np, PYRT_NAME("float64"));
  py::object high = pyrt::call(float64, {d_max});
  py::object low = pyrt::call(float64, {d_min});
  py::object dd = binary(PyNumber_TrueDivide, binary(PyNumber_Subtract, high, low), n_lags);
  py::object steps = binary(PyNumber_Multiply, dd, np_call(np, PYRT_NAME("arange"), {n_lags}));
  DistanceClasses classes;
  classes.bins =
      np_call(np, PYRT_NAME("append"), {binary(PyNumber_Add, low, steps), last_edge(np, high)});
  classes.lags = np_call(np, PYRT_NAME("zeros"), {n_lags});
  classes.semivariance = np_call(np, PYRT_NAME("zeros"), {n_lags});
  classes.count = class_loop_count(n_lags);
  classes.edge_view = Float64View::of(classes.bins, "bins");
  if (classes.edge_view.size() < classes.count + 1) {
    pyrt::raise(PyExc_IndexError, "index %zu is out of bounds for the class edges", classes.count);
  }
  return classes;
}

KeptClasses kept_class_means(py::handle np, py::handle lags, py::handle semivariance,
                             const ClassTotals& totals) {
  const std::size_t n = totals.count.size();
  if (n > 0) {
    const Float64View lag_out = Float64View::of(lags, "lags", true);
    const Float64View semivariance_out = Float64View::of(semivariance, "semivariance", true);
    if (lag_out.size() < n || semivariance_out.size() < n) {
      pyrt::raise(PyExc_IndexError, "index %zu is out of bounds for the class arrays", n);
    }
    bool any_empty = false;
    for (std::size_t k = 0; k < n; ++k) {
      double lag = std::numeric_limits<double>::quiet_NaN();
      double gamma = lag;
      if (totals.count[k] == 0) {
        any_empty = true;
      } else {
        const double count = static_cast<double>(totals.count[k]);
        lag = totals.distance_sum[k] / count;
        gamma = totals.semivariance_sum[k] / count;
      }
      lag_out.mutable_data()[k] = lag;
      semivariance_out.mutable_data()[k] = gamma;
    }
    if (any_empty) {
      np_call(np, PYRT_NAME("mean"), {np_call(np, PYRT_NAME("zeros"), {to_int(0)})});
    }
  }
  py::object kept =
      pyrt::steal_or_throw(PyNumber_Invert(np_call(np, PYRT_NAME("isnan"), {semivariance}).ptr()));
  py::object kept_lags = pyrt::get_item(lags, kept);
  return {kept, std::move(kept_lags), pyrt::get_item(semivariance, kept)};
}

}  // namespace orv::krige
