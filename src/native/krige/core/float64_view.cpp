#include "krige/core/float64_view.hpp"

#include <cstdint>
#include <cstring>

namespace orv::krige {
namespace {

// Native-order float64 in the buffer protocol's struct syntax.
bool is_native_double(const char* format) {
  if (format == nullptr) return false;
  if (format[0] == '@' || format[0] == '=') ++format;
#if PY_LITTLE_ENDIAN
  else if (format[0] == '<')
    ++format;
#else
  else if (format[0] == '>' || format[0] == '!')
    ++format;
#endif
  return std::strcmp(format, "d") == 0;
}

}  // namespace

void Float64View::Release::operator()(Py_buffer* view) const {
  PyBuffer_Release(view);
  delete view;
}

Float64View Float64View::try_of(py::handle obj, bool writable) {
  Float64View result;
  if (!PyObject_CheckBuffer(obj.ptr())) return result;
  auto view = std::make_unique<Py_buffer>();
  const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(obj.ptr(), view.get(), flags) < 0) {
    // Not contiguous, or read-only: the caller converts or reports it.
    PyErr_Clear();
    return result;
  }
  result.view_.reset(view.release());
  if (!is_native_double(result.view_->format) || result.view_->itemsize != sizeof(double)) {
    result.view_.reset();
    return result;
  }
  result.size_ = static_cast<std::size_t>(result.view_->len) / sizeof(double);
  if (reinterpret_cast<std::uintptr_t>(result.view_->buf) % alignof(double) != 0) {
    if (writable) {
      // Writes must reach the caller's memory: the caller converts or reports it.
      result.view_.reset();
      result.size_ = 0;
      return result;
    }
    result.aligned_copy_.reset(new double[result.size_ ? result.size_ : 1]);
    std::memcpy(result.aligned_copy_.get(), result.view_->buf, result.size_ * sizeof(double));
  }
  return result;
}

Float64View Float64View::converted(py::handle np, py::handle obj) {
  Float64View view = try_of(obj);
  if (view) return view;
  py::object float64 = pyrt::get_attr(np, PYRT_NAME("float64"));
  py::object array =
      np_call(np, PYRT_NAME("ascontiguousarray"), {obj}, {{PYRT_NAME("dtype"), float64}});
  return of(array, "np.ascontiguousarray result");
}

Float64View Float64View::of(py::handle obj, const char* what, bool writable) {
  Float64View view = try_of(obj, writable);
  if (!view) {
    pyrt::raise(PyExc_TypeError, "%s must be a C-contiguous%s float64 array, not %R", what,
                writable ? " writable" : "", obj.ptr());
  }
  return view;
}

}  // namespace orv::krige
