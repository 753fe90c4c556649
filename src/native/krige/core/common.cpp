#include "krige/core/common.hpp"

namespace orv::krige {

py::object np_call(py::handle np, py::handle name, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<py::handle, py::handle>> kwargs) {
  py::object function = pyrt::get_attr(np, name);
  if (kwargs.size() == 0) return pyrt::call(function, args);
  return pyrt::call_kw(function, args, kwargs);
}

py::object binary(PyObject* (*operation)(PyObject*, PyObject*), py::handle a, py::handle b) {
  return pyrt::steal_or_throw(operation(a.ptr(), b.ptr()));
}

py::object to_float(double value) { return pyrt::steal_or_throw(PyFloat_FromDouble(value)); }

py::object to_int(long value) { return pyrt::steal_or_throw(PyLong_FromLong(value)); }

}  // namespace orv::krige
