#include "krige/pairs/rounds.hpp"

#include <cmath>
#include <limits>

#include "krige/core/classes.hpp"
#include "krige/pairs/arrays.hpp"
#include "krige/pairs/partial.hpp"

namespace orv::krige::tiles {
namespace {

double float_item(py::handle tuple, Py_ssize_t index) {
  const double value = PyFloat_AsDouble(PyTuple_GET_ITEM(tuple.ptr(), index));
  if (value == -1.0 && PyErr_Occurred()) pyrt::throw_current();
  return value;
}

// As the kernel merges the ranges of its workers: NaN anywhere makes the
// range NaN; ranges of no pair count for nothing.
py::object merge_ranges(const Call& call) {
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  std::size_t pairs = 0;
  bool nan = false;
  pyrt::for_each(call.arg(0), [&](py::handle range) {
    if (!PyTuple_Check(range.ptr()) || PyTuple_GET_SIZE(range.ptr()) != 3) {
      pyrt::raise(PyExc_TypeError, "a block range is a tuple (d_min, d_max, pairs), not %R",
                  range.ptr());
    }
    const std::size_t block_pairs = size_argument(PyTuple_GET_ITEM(range.ptr(), 2), "pairs");
    if (block_pairs == 0) return;
    pairs += block_pairs;
    const double block_low = float_item(range, 0);
    const double block_high = float_item(range, 1);
    nan = nan || std::isnan(block_low) || std::isnan(block_high);
    low = std::fmin(low, block_low);
    high = std::fmax(high, block_high);
  });
  if (pairs == 0) raise_no_pairs(call.global(PYRT_NAME("np")));
  if (nan) low = high = std::numeric_limits<double>::quiet_NaN();
  return py::make_tuple(to_float(low), to_float(high),
                        pyrt::steal_or_throw(PyLong_FromSize_t(pairs)));
}

py::object class_edges(const Call& call) {
  py::object np = call.global(PYRT_NAME("np"));
  const DistanceClasses classes = distance_classes(np, call.arg(0), call.arg(1), call.arg(2));
  return float64_array(np, classes.edges().data, classes.count + 1);
}

py::object class_means(const Call& call) {
  py::object np = call.global(PYRT_NAME("np"));
  ClassTotals totals;
  if (!call.arg(0).is_none()) totals = read_partial(call.arg(0)).totals();
  const std::size_t n = totals.count.size();
  py::object lags = np_call(np, PYRT_NAME("zeros"), {to_int(static_cast<long>(n))});
  py::object semivariance = np_call(np, PYRT_NAME("zeros"), {to_int(static_cast<long>(n))});
  const KeptClasses kept = kept_class_means(np, lags, semivariance, totals);
  py::object counts = int64_array(np, totals.count.data(), n);
  return py::make_tuple(kept.lags, kept.semivariance, pyrt::get_item(counts, kept.kept));
}

}  // namespace

const pyrt::FunctionSpec kMergeRanges = {
    "merge_ranges",
    {"ranges"},
    "(d_min, d_max, pairs) of all pairs from the block_range results of blocks covering them:\n"
    "NaN when any range is NaN, and with no pair at all the error the kriging core raises.",
    merge_ranges};

const pyrt::FunctionSpec kClassEdges = {
    "class_edges",
    {"d_min", "d_max", "n_lags"},
    "The edges of the n_lags distance classes, as the kriging core computes them from the\n"
    "smallest and largest distance, with its errors for a bad n_lags: a float64 array of\n"
    "n_lags + 1 entries (class k holds the distances d with edges[k] <= d < edges[k + 1]).",
    class_edges};

const pyrt::FunctionSpec kClassMeans = {
    "class_means",
    {"partial"},
    "(lags, semivariance, counts) of the classes the kriging core keeps, from the merged\n"
    "ClassPartial of all pairs (None when there is no class): mean distance, mean\n"
    "semivariance and pair count of each class with pairs and a semivariance that is not NaN,\n"
    "with the core's warning when a class is empty.",
    class_means};

}  // namespace orv::krige::tiles
