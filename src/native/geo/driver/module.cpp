// The driver module frame: binds the services of the sibling `base`, then
// creates the module functions and the classes in definition order.
#include "pyrt/module.hpp"

#include "geo/driver/members.hpp"

namespace orv::geo {
namespace {

py::object true_default() { return py::make_tuple(true); }

void exec_driver(py::handle, py::handle globals) {
  Builtins& fixed = builtins();
  fixed.property = pyrt::builtin("property");
  fixed.super = pyrt::builtin("super");
  fixed.range = pyrt::builtin("range");

  static const std::initializer_list<const char*> kServices = {
      "error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path", "_gdal"};
  pyrt::bind_services(globals, "base", kServices);

  pyrt::set_global(globals, "_to_driver_shadow_",
                   pyrt::make_function(kToDriverShadow, globals, nullptr, true_default(), {}));
  pyrt::set_global(globals, "read_xml_to_dict",
                   pyrt::make_function(kReadXmlToDict, globals, nullptr, {}, {}));
  for (const pyrt::ClassSpec* spec :
       {&driver_class(), &raster_class(), &vector_class(), &statistics_class()}) {
    pyrt::set_global(globals, spec->name, pyrt::make_class(*spec, globals, fixed.property));
  }
}

const pyrt::ModuleSpec kDriverModule = {"driver", nullptr, exec_driver};

}  // namespace
}  // namespace orv::geo

PyMODINIT_FUNC PyInit_driver() { return orv::pyrt::module_init(orv::geo::kDriverModule); }
