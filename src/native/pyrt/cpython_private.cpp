#include "pyrt/cpython_private.hpp"

namespace orv::pyrt::cpython_private {

py::object suggest_name(py::handle candidates, py::handle name) {
  PyObject* module = PyImport_ImportModule("_suggestions");
  if (module == nullptr) {
    PyErr_Clear();
    return py::none();
  }
  py::object owner = py::reinterpret_steal<py::object>(module);
  py::object names = steal_or_throw(PySequence_List(candidates.ptr()));
  PyObject* suggestion =
      PyObject_CallMethod(module, "_generate_suggestions", "OO", names.ptr(), name.ptr());
  if (suggestion == nullptr) {
    PyErr_Clear();
    return py::none();
  }
  return py::reinterpret_steal<py::object>(suggestion);
}

}  // namespace orv::pyrt::cpython_private
