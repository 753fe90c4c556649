#include "krige/kriging/arguments.hpp"

namespace orv::krige::kriging {
namespace {

PyObject* type_of(py::handle obj) { return reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())); }

}  // namespace

std::size_t size_argument(py::handle number, const char* name, std::size_t limit) {
  if (!PyLong_Check(number.ptr()) || PyBool_Check(number.ptr())) {
    pyrt::raise(PyExc_TypeError, "%s must be an int, not %R", name, type_of(number));
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) pyrt::throw_current();
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    pyrt::raise(PyExc_ValueError, "%s must not be negative", name);
  }
  if (overflow > 0 || static_cast<unsigned long long>(value) > limit) {
    pyrt::raise(PyExc_ValueError, "%s must be at most %zu", name, limit);
  }
  return static_cast<std::size_t>(value);
}

double real_argument(py::handle number, const char* name) {
  if (PyBool_Check(number.ptr()) || !(PyFloat_Check(number.ptr()) || PyLong_Check(number.ptr()))) {
    pyrt::raise(PyExc_TypeError, "%s must be a float, not %R", name, type_of(number));
  }
  const double value = PyFloat_AsDouble(number.ptr());
  if (value == -1.0 && PyErr_Occurred()) pyrt::throw_current();
  return value;
}

bool flag_argument(py::handle flag, const char* name) {
  if (!PyBool_Check(flag.ptr())) {
    pyrt::raise(PyExc_TypeError, "%s must be a bool, not %R", name, type_of(flag));
  }
  return flag.ptr() == Py_True;
}

Float64View array_argument(py::handle array, const char* name, int ndim) {
  Float64View view = Float64View::of(array, name);
  if (view.ndim() != ndim) {
    pyrt::raise(PyExc_ValueError, "%s must have %d dimension(s), not %d", name, ndim, view.ndim());
  }
  return view;
}

py::object new_array(py::handle np, std::size_t rows, std::size_t columns, bool matrix) {
  py::object shape = matrix ? py::object(py::make_tuple(to_int(static_cast<long>(rows)),
                                                        to_int(static_cast<long>(columns))))
                            : to_int(static_cast<long>(rows));
  return np_call(np, PYRT_NAME("empty"), {shape});
}

}  // namespace orv::krige::kriging
