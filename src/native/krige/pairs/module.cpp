// The pair-tile module: the semivariogram's pair passes cut into tiles for
// callers that spread the tiles over tasks, and the great-circle matrix.
#include "pyrt/module.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

#include "krige/kernel/row_kernels.hpp"
#include "krige/pairs/arrays.hpp"
#include "krige/pairs/blocks.hpp"
#include "krige/pairs/partial.hpp"
#include "krige/pairs/rounds.hpp"
#include "krige/pairs/variogram.hpp"

namespace orv::krige::tiles {
namespace {

const char* const kModuleDoc =
    "Pair tiles of the experimental semivariogram.\n"
    "\n"
    "The pairs {r, c}, r > c, of n points in spatial_order are cut into square tiles of\n"
    "tile_size(n) points a side. point_range is the range of the whole set as the kriging\n"
    "core finds it (without visiting every pair where that is exact); block_range and\n"
    "block_classes compute a row block against a column block (both\n"
    "starting at a multiple of the tile edge) on the calling thread; merge_partials merges\n"
    "ClassPartial results exactly, so any set of blocks of the points in spatial_order\n"
    "covering every pair once gives the bits of the single-machine pass, whatever the\n"
    "grouping, order, thread count or instruction-set path. merge_ranges, class_edges and "
    "class_means are the kriging core's\n"
    "own steps between and after the two passes. great_circle_matrix computes distances by\n"
    "the same per-pair code.\n"
    "\n"
    "isa_paths() lists the instruction-set paths this processor runs (baseline first);\n"
    "force_isa(name) makes every later pass of the process use one of them (the kriging\n"
    "core shares this module's kernel library), force_isa(None) the best again; for tests,\n"
    "not while passes run. square_root_ns(count, repeats) times the square-root loop of the\n"
    "path in use, the floor of a pass whose distances are IEEE-exact.\n";

py::object isa_paths_of(const Call&) {
  py::list names;
  for (const char* name : isa_paths()) names.append(py::str(name));
  return std::move(names);
}

py::object force_isa_of(const Call& call) {
  py::handle name = call.arg(0);
  if (name.is_none()) {
    force_isa(nullptr);
    return py::none();
  }
  if (!PyUnicode_Check(name.ptr())) {
    pyrt::raise(PyExc_TypeError, "the path name must be a str or None, not %R",
                reinterpret_cast<PyObject*>(Py_TYPE(name.ptr())));
  }
  const char* text = PyUnicode_AsUTF8(name.ptr());
  if (text == nullptr) pyrt::throw_current();
  if (!force_isa(text)) {
    pyrt::raise(PyExc_ValueError, "no instruction-set path %R here", name.ptr());
  }
  return py::none();
}

// The best of `repeats` timings of the path's square-root loop over `count`
// values (small enough to stay in the first-level cache), in ns per value.
py::object square_root_ns_of(const Call& call) {
  const std::size_t count = std::max<std::size_t>(1, size_argument(call.arg(0), "count"));
  const std::size_t repeats = std::max<std::size_t>(1, size_argument(call.arg(1), "repeats"));
  std::vector<double> in(count);
  std::vector<double> out(count);
  for (std::size_t t = 0; t < count; ++t) in[t] = 1.0 + static_cast<double>(t) * 0.37;
  double best = 0.0;
  {
    ReleasedGil unlocked;
    const RowKernels& kernels = row_kernels();
    for (std::size_t r = 0; r < repeats; ++r) {
      const auto start = std::chrono::steady_clock::now();
      for (int pass = 0; pass < 16; ++pass) kernels.square_roots(in.data(), count, out.data());
      const std::chrono::duration<double, std::nano> took =
          std::chrono::steady_clock::now() - start;
      const double per_value = took.count() / (16.0 * static_cast<double>(count));
      if (r == 0 || per_value < best) best = per_value;
      in[r % count] = out[(r * 7) % count] + 1.0;  // keeps the loop's result in use
    }
  }
  return to_float(best);
}

const pyrt::FunctionSpec kSquareRootNs = {
    "square_root_ns",
    {"count", "repeats"},
    "Best ns per value of the square-root loop of the path in use.",
    square_root_ns_of};

const pyrt::FunctionSpec kIsaPaths = {
    "isa_paths", {}, "The instruction-set paths available, baseline first.", isa_paths_of};
const pyrt::FunctionSpec kForceIsa = {
    "force_isa", {"name"}, "Use the named path from now on (None: the best).", force_isa_of};

void exec_pairs(py::handle, py::handle globals) {
  pyrt::set_global(globals, "np", pyrt::steal_or_throw(PyImport_ImportModule("numpy")));
  py::object property = pyrt::builtin("property");
  pyrt::set_global(globals, "ClassPartial",
                   pyrt::make_class(class_partial_class(), globals, property));
  for (const pyrt::FunctionSpec* spec :
       {&kTileSize, &kGreatCircleMatrix, &kPointRange, &kShortcutRange, &kBlockRange,
        &kBlockClasses, &kMergePartials, &kMergeRanges, &kClassEdges, &kClassMeans, &kIsaPaths,
        &kForceIsa, &kSquareRootNs}) {
    pyrt::set_global(globals, spec->name, pyrt::make_function(*spec, globals, nullptr, {}, {}));
  }
  add_variogram_functions(globals);
}

const pyrt::ModuleSpec kPairsModule = {"_pairs", kModuleDoc, exec_pairs};

}  // namespace
}  // namespace orv::krige::tiles

PyMODINIT_FUNC PyInit__pairs() { return orv::pyrt::module_init(orv::krige::tiles::kPairsModule); }
