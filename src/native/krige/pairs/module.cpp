// The pair-tile module: the semivariogram's pair passes cut into tiles for
// callers that spread the tiles over tasks, and the great-circle matrix.
#include "pyrt/module.hpp"

#include "krige/kernel/row_kernels.hpp"
#include "krige/pairs/blocks.hpp"
#include "krige/pairs/partial.hpp"
#include "krige/pairs/rounds.hpp"
#include "krige/pairs/variogram.hpp"

namespace orv::krige::tiles {
namespace {

const char* const kModuleDoc =
    "Pair tiles of the experimental semivariogram.\n"
    "\n"
    "The pairs {r, c}, r > c, of n points are cut into square tiles of tile_size(n) points a\n"
    "side. block_range and block_classes compute a row block against a column block (both\n"
    "starting at a multiple of the tile edge) on the calling thread; merge_partials merges\n"
    "ClassPartial results exactly, so any set of blocks covering every pair once gives the\n"
    "bits of the single-machine pass, whatever the grouping, order, thread count or\n"
    "instruction-set path. merge_ranges, class_edges and class_means are the kriging core's\n"
    "own steps between and after the two passes. great_circle_matrix computes distances by\n"
    "the same per-pair code.\n"
    "\n"
    "isa_paths() lists the instruction-set paths this processor runs (baseline first);\n"
    "force_isa(name) makes every later pass of the process use one of them (the kriging\n"
    "core shares this module's kernel library), force_isa(None) the best again; for tests,\n"
    "not while passes run.\n";

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
       {&kTileSize, &kGreatCircleMatrix, &kBlockRange, &kBlockClasses, &kMergePartials,
        &kMergeRanges, &kClassEdges, &kClassMeans, &kIsaPaths, &kForceIsa}) {
    pyrt::set_global(globals, spec->name, pyrt::make_function(*spec, globals, nullptr, {}, {}));
  }
  add_variogram_functions(globals);
}

const pyrt::ModuleSpec kPairsModule = {"_pairs", kModuleDoc, exec_pairs};

}  // namespace
}  // namespace orv::krige::tiles

PyMODINIT_FUNC PyInit__pairs() { return orv::pyrt::module_init(orv::krige::tiles::kPairsModule); }
