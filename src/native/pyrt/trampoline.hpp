// The one place where C++ exceptions become Python exceptions. Every entry
// point the interpreter calls (vectorcall, slots, module steps) runs its body
// through `guarded`, so no C++ exception crosses into the interpreter and no
// error state is left behind on success.
#pragma once

#include <exception>
#include <new>

#include "pyrt/core.hpp"

namespace orv::pyrt {

// Restores the Python error for the exception in flight, chained onto any
// error that is already pending.
void restore_current_exception() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    py::object result = body();
    if (!result) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "native function returned no result");
      }
      return nullptr;
    }
    return result.release().ptr();
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
}

// For slots that report failure as -1.
template <class Body>
int guarded_status(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    restore_current_exception();
    return -1;
  }
}

}  // namespace orv::pyrt
