// Read and write access to the memory of float64 arrays through the buffer
// protocol, and releasing the interpreter lock around native work.
#pragma once

#include <cstddef>
#include <memory>

#include "krige/core/common.hpp"

namespace orv::krige {

// A C-contiguous float64 buffer exported by a Python object. The export
// keeps the object alive and stops numpy from resizing it while viewed.
// A read-only view of a buffer that is not 8-byte aligned (arrays rebuilt
// from pickled byte streams can be) reads an aligned copy, so the kernels
// never load a misaligned double.
class Float64View {
 public:
  // The view of `obj`, or an empty view when `obj` does not export a
  // C-contiguous float64 buffer (no Python error is left set then).
  static Float64View try_of(py::handle obj, bool writable = false);

  // np.ascontiguousarray(obj, dtype=np.float64) unless `obj` already is one;
  // numpy's conversion errors propagate.
  static Float64View converted(py::handle np, py::handle obj);

  // The view of an array that must be float64 and C-contiguous (TypeError
  // naming `what` otherwise).
  static Float64View of(py::handle obj, const char* what, bool writable = false);

  explicit operator bool() const { return view_ != nullptr; }
  const double* data() const {
    return aligned_copy_ ? aligned_copy_.get() : static_cast<const double*>(view_->buf);
  }
  double* mutable_data() const { return static_cast<double*>(view_->buf); }
  std::size_t size() const { return size_; }
  int ndim() const { return view_->ndim; }
  std::size_t extent(int axis) const { return static_cast<std::size_t>(view_->shape[axis]); }
  py::handle object() const { return py::handle(view_->obj); }

 private:
  struct Release {
    void operator()(Py_buffer* view) const;
  };
  std::unique_ptr<Py_buffer, Release> view_;
  std::unique_ptr<double[]> aligned_copy_;
  std::size_t size_ = 0;
};

// Releases the interpreter lock for its lifetime; nothing in its scope may
// touch a Python object.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace orv::krige
