#include "pyrt/unpack.hpp"

namespace orv::pyrt {
namespace {

[[noreturn]] void raise_too_many_values() {
  raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
}

[[noreturn]] void raise_need_more_values(Py_ssize_t got) {
  raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

}  // namespace

Pair unpack_pair_not_enough_values(py::handle value) {
  py::object items = steal_or_throw(PySequence_Tuple(value.ptr()));
  const Py_ssize_t size = PyTuple_GET_SIZE(items.ptr());
  if (size < 2) {
    raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
  }
  if (size > 2) raise_too_many_values();
  return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(items.ptr(), 0)),
          py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(items.ptr(), 1))};
}

Pair unpack_pair_need_more_values(py::handle value) {
  PyObject* obj = value.ptr();
  if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
    if (size > 2) raise_too_many_values();
    if (size < 2) raise_need_more_values(size);
    PyObject** items = PySequence_Fast_ITEMS(obj);
    return {py::reinterpret_borrow<py::object>(items[0]),
            py::reinterpret_borrow<py::object>(items[1])};
  }
  py::object iterator = steal_or_throw(PyObject_GetIter(obj));
  py::object items[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (item == nullptr) {
      if (PyErr_Occurred()) throw_current();
      raise_need_more_values(i);
    }
    items[i] = py::reinterpret_steal<py::object>(item);
  }
  if (PyObject* extra = PyIter_Next(iterator.ptr())) {
    Py_DECREF(extra);
    raise_too_many_values();
  }
  if (PyErr_Occurred()) throw_current();
  return {std::move(items[0]), std::move(items[1])};
}

}  // namespace orv::pyrt
