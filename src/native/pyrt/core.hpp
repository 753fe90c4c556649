// The object layer shared by the native modules: pybind11's reference-owning
// handles, interned names, fast calls and error raising. Nothing here knows
// about a particular module.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace orv::pyrt {

namespace py = pybind11;

// Raises the Python exception `type` with a printf-style message (the
// PyUnicode_FromFormat codes) as a C++ exception that the trampoline restores.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// Throws the Python error that is already set; the caller has seen a failed
// C API call.
[[noreturn]] inline void throw_current() { throw py::error_already_set(); }

// Raises `exception` as the statement `raise exception` would: an exception
// instance as itself, an exception class by instantiating it.
[[noreturn]] void raise_object(py::handle exception);

// Takes ownership of a new reference returned by the C API, throwing when the
// call failed.
inline py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) throw_current();
  return py::reinterpret_steal<py::object>(result);
}

// Takes ownership of what a C API call with an out parameter found: the call
// returned -1 (error: throws), 0 (absent: a null object) or 1 (found).
// `found` is taken by reference so that it is read after the call has set
// it, whatever the order in which the arguments are evaluated.
inline py::object steal_found(int status, PyObject* const& found) {
  if (status < 0) throw_current();
  return py::reinterpret_steal<py::object>(found);
}

// Interned str objects live as long as the process; the interpreter's intern
// table owns them, so keeping a borrowed pointer is safe.
PyObject* intern(const char* text);

// One interned name per call site: `PYRT_NAME("DCAP_RASTER")`. The static is
// retried if interning failed with an exception.
#define PYRT_NAME(text)                                          \
  ([]() -> ::pybind11::handle {                                  \
    static PyObject* const interned = ::orv::pyrt::intern(text); \
    return ::pybind11::handle(interned);                         \
  }())

// Calls `callable(*args)` through vectorcall.
py::object call(py::handle callable, std::initializer_list<py::handle> args);

// Calls `callable(*args, **{names[i]: kwvalues[i]})` through vectorcall.
py::object call_kw(py::handle callable, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<py::handle, py::handle>> kwargs);

// Calls the method `name` of `self` with `args`.
py::object call_method(py::handle self, py::handle name, std::initializer_list<py::handle> args);

// getattr(obj, name). `name` must be interned (PYRT_NAME): attributes of
// modules are cached by name identity.
py::object get_attr(py::handle obj, py::handle name);

// get_attr(obj, name, None) where only AttributeError gives None.
py::object get_attr_or_none(py::handle obj, py::handle name);

// key in container.
bool contains(py::handle container, py::handle key);

// obj[key]
py::object get_item(py::handle obj, py::handle key);

// obj[key] = value
void set_item(py::handle obj, py::handle key, py::handle value);

// Calls `visit` with each item of `iterable`, in iteration order. A `visit`
// that returns bool stops the walk by returning true.
template <class Visit>
void for_each(py::handle iterable, Visit&& visit) {
  py::object iterator = steal_or_throw(PyObject_GetIter(iterable.ptr()));
  while (PyObject* raw = PyIter_Next(iterator.ptr())) {
    py::object item = py::reinterpret_steal<py::object>(raw);
    if constexpr (std::is_same_v<decltype(visit(item)), bool>) {
      if (visit(item)) return;
    } else {
      visit(item);
    }
  }
  if (PyErr_Occurred()) throw_current();
}

// Python truth of `obj`.
bool truthy(py::handle obj);

// is_instance(obj, cls), honouring __instancecheck__.
bool is_instance(py::handle obj, py::handle cls);

// obj == other, by Python rich comparison.
bool equals(py::handle obj, py::handle other);

// The text an f-string shows for `obj`: the value itself for an exact str,
// otherwise format(obj, "").
py::str text_of(py::handle obj);

// A new str made of the parts, joined without a separator.
py::str concat(std::initializer_list<py::handle> parts);

}  // namespace orv::pyrt
