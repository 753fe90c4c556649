// The module frame: two-step initialisation, one interpreter and one
// initialisation per process, and the relative imports of sibling modules.
#pragma once

#include <initializer_list>
#include <vector>

#include "pyrt/core.hpp"

namespace orv::pyrt {

struct ModuleSpec {
  const char* short_name;  // used in the re-initialisation message
  const char* doc;         // nullptr: __doc__ stays None
  // Fills the module; the first exception aborts the import.
  void (*exec)(py::handle module, py::handle globals);
};

// The PyInit_ result for the module described by `spec` (static storage).
PyObject* module_init(const ModuleSpec& spec);

// `from .<module> import <names>` (level 1, relative to the package of the
// module whose globals are given; an empty module name imports from the
// package itself). A name is taken as an attribute of the imported module or,
// failing that, as its already imported submodule; otherwise ImportError
// "cannot import name %S".
std::vector<py::object> import_from_sibling(py::handle globals, const char* module,
                                            std::initializer_list<const char*> names);

// Binds `name` in the module globals.
void set_global(py::handle globals, const char* name, py::handle value);

// A builtin by name, NameError "name '%U' is not defined" when missing.
py::object builtin(const char* name);

// The builtins of the current frame and `name` found in them; NameError
// "name '%U' is not defined" when missing.
struct Builtin {
  py::object builtins;
  py::object value;
};
Builtin find_builtin(py::handle name);

// `from .<module> import <names>` bound under the same names in `globals`:
// the services a module's import step takes from its package. Returns the
// values in the order of `names`.
std::vector<py::object> bind_services(py::handle globals, const char* module,
                                      std::initializer_list<const char*> names);

}  // namespace orv::pyrt
