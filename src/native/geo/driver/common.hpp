// Helpers shared by the members of the driver module: the builtins fixed at
// import, the services looked up at call time, metadata reads and the
// message of the module's one exception, error.FormatError.
#pragma once

#include "pyrt/classdef.hpp"
#include "pyrt/core.hpp"
#include "pyrt/function.hpp"

namespace orv::geo {

namespace py = pybind11;
using pyrt::Call;

// The builtins property, super and range, looked up once at import.
struct Builtins {
  py::object property;
  py::object super;
  py::object range;
};
Builtins& builtins();

// The _gdal service, looked up at call time.
py::object gdal(const Call& call);

// Driver._get_metadata_item_(self, psz): the item, or "" for a false one.
py::object get_metadata_item(const Call& call);

// `self._get_metadata_item_(key)`, looked up on the instance.
py::object metadata_item(py::handle self, py::handle key);

// The metadata item upper-cased equals "YES".
bool metadata_flag(py::handle self, py::handle key);

// The metadata item split on runs of white space.
py::object metadata_words(py::handle self, py::handle key);

// self._driver, the handle.
inline py::object handle_of(py::handle self) { return pyrt::get_attr(self, PYRT_NAME("_driver")); }

// Sets an instance attribute.
void set_attr(py::handle self, py::handle name, py::handle value);

// A new str: double quote, the text of `value`, double quote, `tail`.
py::str quoted_message(py::handle value, const char* tail);

// Python bool from a C++ bool.
inline py::object to_bool(bool value) { return py::bool_(value); }

}  // namespace orv::geo
