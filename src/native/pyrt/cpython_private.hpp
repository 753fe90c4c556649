// Every private CPython interface the native modules use, one function per
// symbol; nothing else in the tree names one. Each entry says why no public
// interface serves and what happens without it, so a new CPython version is
// checked here and nowhere else.
//
// pybind11's headers, which give us the object layer, also reference private
// type-lookup and instance-dict functions in the machinery of pybind11
// classes; the modules make no pybind11 class, so those paths do not run.
#pragma once

#include "pyrt/core.hpp"

namespace orv::pyrt::cpython_private {

// _Py_IsImmortal (Include/refcount.h). The lookup cache of module globals
// and service names (dict_cache) keys its entries by the address of the
// name: a name that could be freed might be followed by another string at
// the same address, which would then read a stale entry. Only names the
// interpreter never frees may serve as keys, and in 3.13 this is the only
// test for that (PyUnstable_IsImmortal is public from 3.14 on).
// Without it: no name is cached, and every lookup reads the dicts again;
// the results are the same, only slower.
inline bool is_immortal(PyObject* obj) { return _Py_IsImmortal(obj) != 0; }

// _suggestions._generate_suggestions (the interpreter's own module). It is
// the engine behind "Did you mean 'x'?" in the interpreter's message for an
// unexpected keyword argument of a Python function; our functions word that
// error as the interpreter does, so they ask the same engine.
// The name among `candidates` (a sequence of str) closest to `name`, or
// None. Without it (the module or function missing, or failing): None, and
// the message ends without the suggestion; no error is left pending.
py::object suggest_name(py::handle candidates, py::handle name);

}  // namespace orv::pyrt::cpython_private
