// init_variogram_model: the experimental semivariogram, mean distance and
// mean semivariance per distance class. The O(n_lags) steps are the class
// rules of classes.hpp, the documented numpy steps run through the module's
// np; the O(n^2) pair work is one native pass per statistic without the
// interpreter lock.
#include "krige/core/classes.hpp"
#include "krige/core/functions.hpp"
#include "krige/core/pair_sources.hpp"

namespace orv::krige {
namespace {

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
  const DistanceClasses classes =
      distance_classes(np, to_float(range.min), to_float(range.max), n_lags);
  ClassTotals totals;
  if (classes.count > 0) {
    if (pairs.mismatched()) {
      // The documented loop fails selecting the semivariances with the
      // distance mask.
      raise_mask_mismatch(0, pairs.value_pairs(), pairs.distance_pairs());
    }
    totals = pairs.totals(classes.edges());
  }
  const KeptClasses kept = kept_class_means(np, classes.lags, classes.semivariance, totals);
  return py::make_tuple(kept.lags, kept.semivariance);
}

}  // namespace

const pyrt::FunctionSpec kInitVariogramModel = {"init_variogram_model",
                                                {"points", "values", "n_lags", "gtype"},
                                                "初始化半变异模型其他参数",
                                                init_variogram_model};

}  // namespace orv::krige
