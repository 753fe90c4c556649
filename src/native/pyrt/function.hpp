// A native function type that behaves like a Python function wherever a
// caller can look: vectorcall with the interpreter's own argument binding and
// error wording, binding as a method, __name__, __qualname__, __module__,
// __doc__, __defaults__, __dict__, __globals__, __signature__ for inspect, and
// pickling by qualified name.
#pragma once

#include <cstddef>
#include <vector>

#include "pyrt/core.hpp"

namespace orv::pyrt {

class Call;

using Impl = py::object (*)(const Call& call);

// The static description of one function: its parameters are all
// positional-or-keyword; `varkw` names a trailing **kwargs parameter.
struct FunctionSpec {
  const char* name;
  std::vector<const char*> params;
  const char* doc;  // nullptr: __doc__ is None
  Impl impl;
  const char* varkw = nullptr;
};

// The arguments of one call, bound to the parameters in declaration order.
class Call {
 public:
  Call(PyObject* function, PyObject* const* slots, PyObject* kwargs, std::size_t positional)
      : function_(function), slots_(slots), kwargs_(kwargs), positional_(positional) {}

  // The i-th parameter's value (borrowed; valid for the call).
  py::handle arg(std::size_t i) const { return py::handle(slots_[i]); }
  // The **kwargs dict, a new dict owned by the call (null when not declared).
  py::handle kwargs() const { return py::handle(kwargs_); }
  // How many leading parameters were bound by position (a bound method's
  // self included); the rest came by keyword or from the defaults.
  std::size_t positional_count() const { return positional_; }
  // A module-level name: the module globals, then the builtins; NameError
  // "name '%U' is not defined" when found nowhere.
  py::object global(py::handle name) const;
  // The module globals dict the function was defined in.
  py::handle globals() const;
  // The contents of the enclosing class cell (the class a method belongs
  // to, as zero-argument super() sees it).
  py::object class_cell() const;

 private:
  PyObject* function_;
  PyObject* const* slots_;
  PyObject* kwargs_;
  std::size_t positional_;
};

// Creates a function object. `qualname_prefix` is the enclosing class name
// (empty for a module function); `defaults` a tuple or null; `class_cell` a
// cell or null. `spec` must outlive the function (static storage).
py::object make_function(const FunctionSpec& spec, py::handle globals, const char* qualname_prefix,
                         py::handle defaults, py::handle class_cell);

// raise error.<class_name>(*args, **kwargs): an exception class of the
// package's `error` module, found through the module global `error` at call
// time.
[[noreturn]] void raise_package_error(
    const Call& call, py::handle class_name, std::initializer_list<py::handle> args,
    std::initializer_list<std::pair<py::handle, py::handle>> kwargs = {});

// Module-level name lookup with the builtins as fallback.
py::object lookup_global(py::handle globals, py::handle name);

}  // namespace orv::pyrt
