// Argument-binding errors worded exactly as the interpreter words them for a
// Python function whose parameters are all positional-or-keyword.
#pragma once

#include "pyrt/core.hpp"

namespace orv::pyrt {

[[noreturn]] void raise_keywords_must_be_strings(PyObject* qualname);
[[noreturn]] void raise_unexpected_keyword(PyObject* qualname, PyObject* param_names,
                                           PyObject* keyword);
[[noreturn]] void raise_multiple_values(PyObject* qualname, PyObject* keyword);
[[noreturn]] void raise_too_many_positional(PyObject* qualname, Py_ssize_t nparams,
                                            Py_ssize_t ndefaults, Py_ssize_t given);
// Raises "missing N required positional argument(s)" when any of the slots
// in [nargs, first_default) is still empty; returns otherwise.
void raise_if_missing(PyObject* qualname, PyObject* param_names, PyObject* const* slots,
                      Py_ssize_t nargs, Py_ssize_t first_default);

}  // namespace orv::pyrt
