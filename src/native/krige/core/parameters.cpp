// DEFAULT_PARAMETERS and init_variogram_parameters: validates a variogram
// model name and orders the user's parameter values by the model's table.
#include <vector>

#include "krige/core/functions.hpp"

namespace orv::krige {
namespace {

struct ModelParameters {
  const char* model;
  std::vector<const char*> names;
};

// Insertion order is part of the table: callers list the models in it.
const std::vector<ModelParameters>& parameter_table() {
  static const std::vector<ModelParameters> table = {
      {"Linear", {"Slope", "Nugget"}},
      {"Power", {"Scale", "Exponent", "Nugget"}},
      {"Gaussian", {"PSill", "Range", "Nugget"}},
      {"Spherical", {"PSill", "Range", "Nugget"}},
      {"Exponential", {"PSill", "Range", "Nugget"}},
      {"HoleEffect", {"PSill", "Range", "Nugget"}},
  };
  return table;
}

void append(py::handle list, py::handle value) {
  if (PyList_Append(list.ptr(), value.ptr()) < 0) pyrt::throw_current();
}

// [parameters[p] for p in par_names], after checking that every name is set.
py::object ordered_values(const Call& call, py::handle par_names, py::handle parameters) {
  py::object set_names = pyrt::call_method(parameters, PYRT_NAME("keys"), {});
  py::object missing = pyrt::steal_or_throw(PyList_New(0));
  for (py::handle name : py::reinterpret_borrow<py::iterable>(par_names)) {
    if (!pyrt::contains(set_names, name)) append(missing, name);
  }
  if (PyList_GET_SIZE(missing.ptr()) != 0) {
    pyrt::raise_package_error(call, PYRT_NAME("ParameterError"), {},
                              {{PYRT_NAME("errors"), missing}, {PYRT_NAME("all_sels"), par_names}});
  }
  py::object values = pyrt::steal_or_throw(PyList_New(0));
  for (py::handle name : py::reinterpret_borrow<py::iterable>(par_names)) {
    append(values, pyrt::get_item(parameters, name));
  }
  return values;
}

py::object init_variogram_parameters(const Call& call) {
  py::handle model = call.arg(0);
  py::handle parameters = call.arg(1);
  py::object table = call.global(PYRT_NAME("DEFAULT_PARAMETERS"));
  if (!pyrt::contains(table, model)) {
    pyrt::raise_package_error(call, PYRT_NAME("SpmisError"), {},
                              {{PYRT_NAME("errors"), model}, {PYRT_NAME("all_sels"), table}});
  }
  py::object pars = py::none();
  if (!parameters.is_none()) {
    if (!pyrt::is_instance(parameters, call.global(PYRT_NAME("dict")))) {
      pyrt::raise_package_error(call, PYRT_NAME("ORVError"),
                                {PYRT_NAME("Variogram parameters must be None or a dictionary!")});
    }
    pars = ordered_values(call, pyrt::get_item(table, model), parameters);
  }
  py::object fun = pyrt::get_attr(call.global(PYRT_NAME("variogram")), model);
  return py::make_tuple(py::reinterpret_borrow<py::object>(model), fun, pars);
}

}  // namespace

const pyrt::FunctionSpec kInitVariogramParameters = {"init_variogram_parameters",
                                                     {"model", "parameters"},
                                                     "获取半变异函数参数",
                                                     init_variogram_parameters};

py::object make_default_parameters() {
  py::object table = pyrt::steal_or_throw(PyDict_New());
  for (const ModelParameters& entry : parameter_table()) {
    py::object names = pyrt::steal_or_throw(PyList_New(0));
    for (const char* name : entry.names) append(names, pyrt::intern(name));
    if (PyDict_SetItem(table.ptr(), pyrt::intern(entry.model), names.ptr()) < 0) {
      pyrt::throw_current();
    }
  }
  return table;
}

}  // namespace orv::krige
