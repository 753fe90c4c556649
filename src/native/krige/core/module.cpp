// The kriging core module frame: binds the services of the parent package,
// builds DEFAULT_PARAMETERS and creates the three functions.
#include "pyrt/module.hpp"

#include "krige/core/functions.hpp"
#include "krige/core/pair_sources.hpp"

namespace orv::krige {
namespace {

void exec_core(py::handle, py::handle globals) {
  static const std::initializer_list<const char*> kServices = {
      "np",       "error", "init_points", "to_numeric_array", "spatial", "great_circle_distance",
      "variogram"};
  pyrt::bind_services(globals, "", kServices);

  pyrt::set_global(globals, "DEFAULT_PARAMETERS", make_default_parameters());
  for (const pyrt::FunctionSpec* spec :
       {&kAdjustAnisotropy, &kInitVariogramParameters, &kInitVariogramModel}) {
    pyrt::set_global(globals, spec->name, pyrt::make_function(*spec, globals, nullptr, {}, {}));
  }
  remember_scipy_pdist();
}

const pyrt::ModuleSpec kCoreModule = {"core", "\n空间插值！\n", exec_core};

}  // namespace
}  // namespace orv::krige

PyMODINIT_FUNC PyInit_core() { return orv::pyrt::module_init(orv::krige::kCoreModule); }
