#include "pyrt/trampoline.hpp"

#include <stdexcept>

namespace orv::pyrt {

namespace {

void set_error_for_current_exception() noexcept {
  try {
    throw;
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (py::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& error) {
    PyErr_SetString(PyExc_MemoryError, error.what());
  } catch (const std::out_of_range& error) {
    PyErr_SetString(PyExc_IndexError, error.what());
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

}  // namespace

// An error still pending when the C++ exception arrives is not overwritten:
// it becomes the new error's context, as an exception raised while handling
// another would have it.
void restore_current_exception() noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  set_error_for_current_exception();
  if (pending == nullptr) return;
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    PyErr_SetRaisedException(pending);
    return;
  }
  if (raised != pending) {
    PyException_SetContext(raised, pending);
  } else {
    Py_DECREF(pending);
  }
  PyErr_SetRaisedException(raised);
}

}  // namespace orv::pyrt
