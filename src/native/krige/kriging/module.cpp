// The kriging kernel module: samples prepared once into an engine (k-d tree
// or global factorisation), then targets and grid windows kriged with the
// GIL released on the native worker threads.
#include "pyrt/module.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "krige/kriging/arguments.hpp"
#include "krige/kriging/engine.hpp"

namespace orv::krige::kriging {
namespace {

const char* const kModuleDoc =
    "Ordinary kriging kernel.\n"
    "\n"
    "prepare() turns checked samples into an engine; predict() and grid() krige targets or\n"
    "a window of a north-up grid with it. Every result depends on the target's own\n"
    "neighbourhood alone, so it is the same for any thread count, window or process.\n";

const char* const kCapsuleName = "orv._algos.spmis.krige._kriging.Engine";
constexpr std::size_t kMaxThreads = 4096;
constexpr std::size_t kMaxCells = std::size_t{1} << 40;

void delete_engine(PyObject* capsule) {
  delete static_cast<Engine*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

const Engine& engine_argument(py::handle capsule) {
  if (!PyCapsule_IsValid(capsule.ptr(), kCapsuleName)) {
    pyrt::raise(PyExc_TypeError, "engine must be an engine made by prepare(), not %R",
                reinterpret_cast<PyObject*>(Py_TYPE(capsule.ptr())));
  }
  return *static_cast<const Engine*>(PyCapsule_GetPointer(capsule.ptr(), kCapsuleName));
}

Model model_argument(py::handle name, py::handle parameters) {
  if (!PyUnicode_Check(name.ptr())) {
    pyrt::raise(PyExc_TypeError, "model must be a str, not %R",
                reinterpret_cast<PyObject*>(Py_TYPE(name.ptr())));
  }
  const char* text = PyUnicode_AsUTF8(name.ptr());
  if (text == nullptr) pyrt::throw_current();
  Model model{ModelKind::Linear, {0.0, 0.0, 0.0}};
  if (!model_kind_of(text, &model.kind)) {
    pyrt::raise(PyExc_ValueError, "unknown variogram model %R", name.ptr());
  }
  const Float64View values = array_argument(parameters, "parameters", 1);
  const std::size_t count = static_cast<std::size_t>(parameter_count(model.kind));
  if (values.size() != count) {
    pyrt::raise(PyExc_ValueError, "the %s model takes %zu parameters, not %zu", text, count,
                values.size());
  }
  for (std::size_t i = 0; i < count; ++i) model.parameters[i] = values.data()[i];
  return model;
}

Transform transform_argument(py::handle matrix, py::handle center, int dims) {
  Transform transform;
  transform.dims = dims;
  if (matrix.is_none() && center.is_none()) return transform;
  const Float64View m = array_argument(matrix, "transform", 2);
  const Float64View c = array_argument(center, "center", 1);
  if (m.extent(0) != static_cast<std::size_t>(dims) ||
      m.extent(1) != static_cast<std::size_t>(dims) || c.size() != static_cast<std::size_t>(dims)) {
    pyrt::raise(PyExc_ValueError,
                "transform must be %d x %d and center hold %d values, for points of %d columns",
                dims, dims, dims, dims);
  }
  transform.identity = false;
  for (int i = 0; i < dims * dims; ++i) transform.matrix[i] = m.data()[i];
  for (int i = 0; i < dims; ++i) transform.center[i] = c.data()[i];
  return transform;
}

py::object prepare_of(const Call& call) {
  const Float64View coordinates = array_argument(call.arg(0), "coordinates", 2);
  const Float64View values = array_argument(call.arg(1), "values", 1);
  const Model model = model_argument(call.arg(2), call.arg(3));
  const std::size_t k =
      size_argument(call.arg(4), "neighbours", std::numeric_limits<std::uint32_t>::max());
  const double max_distance = real_argument(call.arg(5), "max_distance");
  const bool geographic = flag_argument(call.arg(8), "geographic");
  const std::size_t n = coordinates.extent(0);
  const std::size_t dims = coordinates.extent(1);
  if (dims != 2 && !(dims == 3 && !geographic)) {
    pyrt::raise(PyExc_ValueError, "coordinates must have %s columns, not %zu",
                geographic ? "two (longitude, latitude)" : "2 or 3", dims);
  }
  if (values.size() != n) {
    pyrt::raise(PyExc_ValueError, "values must hold one value per point (%zu), not %zu", n,
                values.size());
  }
  if (n == 0 || n >= std::numeric_limits<std::uint32_t>::max()) {
    pyrt::raise(PyExc_ValueError, "need between 1 and 2**32 - 2 samples, not %zu", n);
  }
  for (std::size_t i = 0; i < n * dims; ++i) {
    if (!std::isfinite(coordinates.data()[i])) {
      pyrt::raise(PyExc_ValueError, "coordinates must be finite");
    }
  }
  if (!(max_distance > 0.0)) {
    pyrt::raise(PyExc_ValueError, "max_distance must be positive (inf: no bound)");
  }
  const Transform transform = transform_argument(call.arg(6), call.arg(7), static_cast<int>(dims));
  if (geographic && !transform.identity) {
    pyrt::raise(PyExc_ValueError, "geographic samples take no transform");
  }
  std::unique_ptr<Engine> engine;
  {
    ReleasedGil unlocked;
    SampleSet samples(coordinates.data(), n, static_cast<int>(dims), values.data(), geographic,
                      transform);
    engine = std::make_unique<Engine>(std::move(samples), model, k, max_distance);
  }
  py::object capsule =
      pyrt::steal_or_throw(PyCapsule_New(engine.get(), kCapsuleName, delete_engine));
  engine.release();
  return capsule;
}

py::object outcome(py::object estimate, py::object variance, std::size_t unstable) {
  return py::make_tuple(std::move(estimate), std::move(variance),
                        pyrt::steal_or_throw(PyLong_FromSize_t(unstable)));
}

py::object predict_of(const Call& call) {
  const Engine& engine = engine_argument(call.arg(0));
  const Float64View targets = array_argument(call.arg(1), "targets", 2);
  const bool leave_one_out = flag_argument(call.arg(2), "leave_one_out");
  const unsigned threads =
      static_cast<unsigned>(size_argument(call.arg(3), "threads", kMaxThreads));
  const std::size_t m = targets.extent(0);
  if (targets.extent(1) != static_cast<std::size_t>(engine.samples().dims())) {
    pyrt::raise(PyExc_ValueError, "targets must have %d columns, as the samples, not %zu",
                engine.samples().dims(), targets.extent(1));
  }
  if (leave_one_out && (engine.global() || m != engine.samples().size())) {
    pyrt::raise(PyExc_ValueError,
                "leave_one_out needs local neighbourhoods and the samples as targets");
  }
  py::object np = call.global(PYRT_NAME("np"));
  py::object estimate = new_array(np, m, 0, false);
  py::object variance = new_array(np, m, 0, false);
  const Float64View out_estimate = Float64View::of(estimate, "estimate", true);
  const Float64View out_variance = Float64View::of(variance, "variance", true);
  std::size_t unstable;
  {
    ReleasedGil unlocked;
    unstable = engine.predict(targets.data(), m, leave_one_out, out_estimate.mutable_data(),
                              out_variance.mutable_data(), threads);
  }
  return outcome(std::move(estimate), std::move(variance), unstable);
}

py::object grid_of(const Call& call) {
  const Engine& engine = engine_argument(call.arg(0));
  Grid grid{};
  grid.x0 = real_argument(call.arg(1), "x0");
  grid.y0 = real_argument(call.arg(2), "y0");
  grid.dx = real_argument(call.arg(3), "dx");
  grid.dy = real_argument(call.arg(4), "dy");
  grid.col_off = size_argument(call.arg(5), "col_off", kMaxCells);
  grid.row_off = size_argument(call.arg(6), "row_off", kMaxCells);
  grid.width = size_argument(call.arg(7), "width", kMaxCells);
  grid.height = size_argument(call.arg(8), "height", kMaxCells);
  const unsigned threads =
      static_cast<unsigned>(size_argument(call.arg(9), "threads", kMaxThreads));
  if (engine.samples().dims() != 2) {
    pyrt::raise(PyExc_ValueError, "a grid needs samples of two columns");
  }
  for (double value : {grid.x0, grid.y0, grid.dx, grid.dy}) {
    if (!std::isfinite(value)) pyrt::raise(PyExc_ValueError, "the grid must be finite");
  }
  if (!(grid.dx > 0.0 && grid.dy > 0.0)) {
    pyrt::raise(PyExc_ValueError, "the cell size must be positive");
  }
  if (grid.height != 0 && grid.width > kMaxCells / grid.height) {
    pyrt::raise(PyExc_ValueError, "the window has too many cells");
  }
  py::object np = call.global(PYRT_NAME("np"));
  py::object estimate = new_array(np, grid.height, grid.width, true);
  py::object variance = new_array(np, grid.height, grid.width, true);
  const Float64View out_estimate = Float64View::of(estimate, "estimate", true);
  const Float64View out_variance = Float64View::of(variance, "variance", true);
  std::size_t unstable;
  {
    ReleasedGil unlocked;
    unstable = engine.grid(grid, out_estimate.mutable_data(), out_variance.mutable_data(), threads);
  }
  return outcome(std::move(estimate), std::move(variance), unstable);
}

const pyrt::FunctionSpec kPrepare = {
    "prepare",
    {"coordinates", "values", "model", "parameters", "neighbours", "max_distance", "transform",
     "center", "geographic"},
    "An engine for the samples (coordinates (n, 2|3), values (n,)) and the model (name,\n"
    "float64 parameters in the core's order). neighbours 0 and max_distance inf: global\n"
    "kriging; otherwise the neighbours nearest samples within max_distance (0: all in\n"
    "reach). transform (d x d) and center (d,): points p become transform @ (p - center)\n"
    "before distances are taken (None, None: unchanged). geographic: longitude and latitude\n"
    "in degrees, great-circle km.",
    prepare_of};

const pyrt::FunctionSpec kPredict = {
    "predict",
    {"engine", "targets", "leave_one_out", "threads"},
    "(estimate, variance, unstable) at the targets (m, d). With leave_one_out, target i is\n"
    "sample i and does not use it. unstable: targets solved by LU as the system was not\n"
    "positive definite. threads 0: the default count.",
    predict_of};

const pyrt::FunctionSpec kGrid = {
    "grid",
    {"engine", "x0", "y0", "dx", "dy", "col_off", "row_off", "width", "height", "threads"},
    "(estimate, variance, unstable) of a window of a north-up grid, (height, width) arrays:\n"
    "cell (c, r) of the grid is centred at (x0 + (c + 0.5) dx, y0 - (r + 0.5) dy).",
    grid_of};

void exec_kriging(py::handle, py::handle globals) {
  pyrt::set_global(globals, "np", pyrt::steal_or_throw(PyImport_ImportModule("numpy")));
  for (const pyrt::FunctionSpec* spec : {&kPrepare, &kPredict, &kGrid}) {
    pyrt::set_global(globals, spec->name, pyrt::make_function(*spec, globals, nullptr, {}, {}));
  }
}

const pyrt::ModuleSpec kKrigingModule = {"_kriging", kModuleDoc, exec_kriging};

}  // namespace
}  // namespace orv::krige::kriging

PyMODINIT_FUNC PyInit__kriging() {
  return orv::pyrt::module_init(orv::krige::kriging::kKrigingModule);
}
