#include "krige/pairs/arrays.hpp"

#include <cstring>
#include <limits>

namespace orv::krige::tiles {
namespace {

// Fills the new array `array` (C-contiguous, 8-byte items) with `bytes`.
py::object filled(py::object array, const void* bytes, std::size_t n) {
  Py_buffer view;
  if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) {
    pyrt::throw_current();
  }
  if (static_cast<std::size_t>(view.len) == n * 8 && n > 0) std::memcpy(view.buf, bytes, n * 8);
  PyBuffer_Release(&view);
  return array;
}

}  // namespace

PointBlock point_block(py::handle coordinates, py::handle values, bool geographic,
                       const char* name) {
  PointBlock block{Float64View::of(coordinates, name), Float64View(), Points{}};
  if (block.coordinates.ndim() != 2) {
    pyrt::raise(PyExc_ValueError, "%s must be two-dimensional, not of %d dimensions", name,
                block.coordinates.ndim());
  }
  const std::size_t n = block.coordinates.extent(0);
  const std::size_t dims = block.coordinates.extent(1);
  if (geographic && dims != 2) {
    pyrt::raise(PyExc_ValueError, "%s must have two columns (longitude, latitude), not %zu", name,
                dims);
  }
  if (values) {
    block.values = Float64View::of(values, "values");
    if (block.values.ndim() != 1 || block.values.size() != n) {
      pyrt::raise(PyExc_ValueError, "values must be one-dimensional with one value per point of %s",
                  name);
    }
  }
  block.points = {block.coordinates.data(), n, dims, values ? block.values.data() : nullptr,
                  geographic};
  return block;
}

std::size_t size_argument(py::handle number, const char* name) {
  if (!PyLong_Check(number.ptr()) || PyBool_Check(number.ptr())) {
    pyrt::raise(PyExc_TypeError, "%s must be an int, not %R", name,
                reinterpret_cast<PyObject*>(Py_TYPE(number.ptr())));
  }
  const Py_ssize_t value = PyLong_AsSsize_t(number.ptr());
  if (value == -1 && PyErr_Occurred()) pyrt::throw_current();
  if (value < 0) pyrt::raise(PyExc_ValueError, "%s must not be negative", name);
  return static_cast<std::size_t>(value);
}

bool flag_argument(py::handle flag, const char* name) {
  if (!PyBool_Check(flag.ptr())) {
    pyrt::raise(PyExc_TypeError, "%s must be a bool, not %R", name,
                reinterpret_cast<PyObject*>(Py_TYPE(flag.ptr())));
  }
  return flag.ptr() == Py_True;
}

py::object int64_array(py::handle np, const std::uint64_t* data, std::size_t n) {
  py::object array = np_call(np, PYRT_NAME("zeros"), {to_int(static_cast<long>(n))},
                             {{PYRT_NAME("dtype"), pyrt::get_attr(np, PYRT_NAME("int64"))}});
  return filled(std::move(array), data, n);
}

py::object float64_array(py::handle np, const double* data, std::size_t n) {
  py::object array = np_call(np, PYRT_NAME("zeros"), {to_int(static_cast<long>(n))});
  return filled(std::move(array), data, n);
}

}  // namespace orv::krige::tiles
