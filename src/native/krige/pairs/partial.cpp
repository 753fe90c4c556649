#include "krige/pairs/partial.hpp"

#include <string>

#include "krige/pairs/arrays.hpp"

namespace orv::krige::tiles {
namespace {

const char* const kClassPartialDoc =
    "Per-class pair counts and exact sums of distance and semivariance of a set of tiles.\n\n"
    "Made by block_classes and merge_partials; picklable. totals() gives the correctly rounded\n"
    "sums, which do not depend on how the tiles were grouped or in which order merged.";

}  // namespace

ClassPartials read_partial(py::handle partial) {
  py::object state = pyrt::get_attr(partial, PYRT_NAME("_state"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(state.ptr(), &data, &size) < 0) pyrt::throw_current();
  ClassPartials partials;
  if (!partials.deserialize(std::string(data, static_cast<std::size_t>(size)))) {
    pyrt::raise(PyExc_ValueError, "malformed ClassPartial state");
  }
  return partials;
}

namespace {

py::object partial_init(const Call& call) {
  py::handle state = call.arg(1);
  if (!PyBytes_Check(state.ptr())) {
    pyrt::raise(PyExc_TypeError, "ClassPartial state must be bytes, not %R",
                reinterpret_cast<PyObject*>(Py_TYPE(state.ptr())));
  }
  if (PyObject_SetAttr(call.arg(0).ptr(), PYRT_NAME("_state").ptr(), state.ptr()) < 0) {
    pyrt::throw_current();
  }
  read_partial(call.arg(0));  // refuses malformed state now rather than later
  return py::none();
}

py::object partial_totals(const Call& call) {
  const ClassTotals totals = read_partial(call.arg(0)).totals();
  py::object np = call.global(PYRT_NAME("np"));
  const std::size_t n = totals.count.size();
  return py::make_tuple(int64_array(np, totals.count.data(), n),
                        float64_array(np, totals.distance_sum.data(), n),
                        float64_array(np, totals.semivariance_sum.data(), n));
}

py::object partial_n_lags(const Call& call) {
  return to_int(static_cast<long>(read_partial(call.arg(0)).n_lags()));
}

py::object partial_repr(const Call& call) {
  return pyrt::steal_or_throw(
      PyUnicode_FromFormat("<ClassPartial of %zu classes>", read_partial(call.arg(0)).n_lags()));
}

py::object merge_partials(const Call& call) {
  bool first = true;
  ClassPartials merged;
  pyrt::for_each(call.arg(0), [&](py::handle item) {
    const ClassPartials partials = read_partial(item);
    if (first) {
      merged = partials;
      first = false;
    } else if (merged.n_lags() != partials.n_lags()) {
      pyrt::raise(PyExc_ValueError, "ClassPartial objects of %zu and %zu classes do not merge",
                  merged.n_lags(), partials.n_lags());
    } else {
      merged.merge(partials);
    }
  });
  if (first) pyrt::raise(PyExc_ValueError, "merge_partials needs at least one ClassPartial");
  return make_partial(call, merged);
}

}  // namespace

const pyrt::ClassSpec& class_partial_class() {
  static const pyrt::ClassSpec spec = {
      "ClassPartial",
      kClassPartialDoc,
      {},
      {
          pyrt::Method("__init__", {"self", "state"}, nullptr, partial_init),
          pyrt::Method("totals", {"self"},
                       "(counts int64[n_lags], distance_sum float64[n_lags], "
                       "semivariance_sum float64[n_lags]), the sums correctly rounded.",
                       partial_totals),
          pyrt::Property("n_lags", "Number of classes. --> int", partial_n_lags),
          pyrt::Method("__repr__", {"self"}, nullptr, partial_repr),
      },
  };
  return spec;
}

const pyrt::FunctionSpec kMergePartials = {
    "merge_partials",
    {"partials"},
    "The exact merge of an iterable of ClassPartial objects of the same class count.",
    merge_partials};

py::object make_partial(const Call& call, const ClassPartials& partials) {
  const std::string bytes = partials.serialize();
  py::object state = pyrt::steal_or_throw(
      PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  return pyrt::call(call.global(PYRT_NAME("ClassPartial")), {state});
}

}  // namespace orv::krige::tiles
