#include "pyrt/trampoline.hpp"

#include <stdexcept>

namespace orv::pyrt {

void restore_current_exception() noexcept {
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

}  // namespace orv::pyrt
