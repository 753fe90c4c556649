// Helpers shared by the functions of the kriging core: numpy and service
// calls by name through the module globals, Python numbers, and raising the
// package's exception classes.
#pragma once

#include <initializer_list>
#include <utility>

#include "pyrt/core.hpp"
#include "pyrt/function.hpp"

namespace orv::krige {

namespace py = pybind11;
using pyrt::Call;

// `np.<name>(*args, **kwargs)` with np looked up in the module at call time.
py::object np_call(py::handle np, py::handle name, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<py::handle, py::handle>> kwargs = {});

// operation(a, b) for a binary operation of the abstract object layer
// (PyNumber_Add and the like).
py::object binary(PyObject* (*operation)(PyObject*, PyObject*), py::handle a, py::handle b);

// A new Python float / int.
py::object to_float(double value);
py::object to_int(long value);

}  // namespace orv::krige
