#include "pyrt/core.hpp"

#include <cstdarg>
#include <vector>

#include "pyrt/dict_cache.hpp"

namespace orv::pyrt {

void raise(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw_current();
}

void raise_object(py::handle exception) {
  PyObject* obj = exception.ptr();
  if (PyExceptionInstance_Check(obj)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
  } else if (PyExceptionClass_Check(obj)) {
    PyErr_SetNone(obj);
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  throw_current();
}

PyObject* intern(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw_current();
  return name;
}

namespace {

// Room for self plus the arguments, so vectorcall may borrow the slot in
// front of the arguments (PY_VECTORCALL_ARGUMENTS_OFFSET).
constexpr std::size_t kInlineArgs = 12;

py::object vectorcall(py::handle callable, std::initializer_list<py::handle> args,
                      std::initializer_list<std::pair<py::handle, py::handle>> kwargs) {
  const std::size_t total = 1 + args.size() + kwargs.size();
  PyObject* inline_slots[kInlineArgs];
  std::vector<PyObject*> heap_slots;
  PyObject** slots = inline_slots;
  if (total > kInlineArgs) {
    heap_slots.resize(total);
    slots = heap_slots.data();
  }
  std::size_t i = 1;
  for (py::handle arg : args) slots[i++] = arg.ptr();
  py::object kwnames;
  if (kwargs.size() != 0) {
    kwnames = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t k = 0;
    for (const auto& [name, value] : kwargs) {
      PyTuple_SET_ITEM(kwnames.ptr(), k++, Py_NewRef(name.ptr()));
      slots[i++] = value.ptr();
    }
  }
  return steal_or_throw(PyObject_Vectorcall(
      callable.ptr(), slots + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

}  // namespace

py::object call(py::handle callable, std::initializer_list<py::handle> args) {
  return vectorcall(callable, args, {});
}

py::object call_kw(py::handle callable, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<py::handle, py::handle>> kwargs) {
  return vectorcall(callable, args, kwargs);
}

py::object call_method(py::handle self, py::handle name, std::initializer_list<py::handle> args) {
  PyObject* slots[kInlineArgs];
  if (args.size() + 1 > kInlineArgs) {
    return call(get_attr(self, name), args);
  }
  std::size_t i = 0;
  slots[i++] = self.ptr();
  for (py::handle arg : args) slots[i++] = arg.ptr();
  return steal_or_throw(
      PyObject_VectorcallMethod(name.ptr(), slots, i | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

py::object get_attr(py::handle obj, py::handle name) {
  // A plain attribute of a module (not a dunder, which the module type may
  // answer itself) is the entry of its namespace dict: cache it.
  PyObject* dict = nullptr;
  if (PyModule_CheckExact(obj.ptr()) && PyUnicode_Check(name.ptr()) &&
      PyUnicode_GET_LENGTH(name.ptr()) > 0 && PyUnicode_READ_CHAR(name.ptr(), 0) != '_') {
    dict = PyModule_GetDict(obj.ptr());
    if (PyObject* cached = dict_cache_get(dict, name.ptr())) {
      return py::reinterpret_borrow<py::object>(cached);
    }
  }
  py::object value = steal_or_throw(PyObject_GetAttr(obj.ptr(), name.ptr()));
  if (dict != nullptr && PyDict_GetItemWithError(dict, name.ptr()) == value.ptr()) {
    dict_cache_put(dict, name.ptr(), value.ptr(), dict);
  }
  if (PyErr_Occurred()) throw_current();
  return value;
}

py::object get_attr_or_none(py::handle obj, py::handle name) {
  PyObject* result = nullptr;
  py::object value = steal_found(PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &result), result);
  return value ? value : py::none();
}

bool contains(py::handle container, py::handle key) {
  const int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw_current();
  return found != 0;
}

py::object get_item(py::handle obj, py::handle key) {
  return steal_or_throw(PyObject_GetItem(obj.ptr(), key.ptr()));
}

void set_item(py::handle obj, py::handle key, py::handle value) {
  if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) throw_current();
}

bool truthy(py::handle obj) {
  const int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw_current();
  return result != 0;
}

bool is_instance(py::handle obj, py::handle cls) {
  const int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (result < 0) throw_current();
  return result != 0;
}

bool equals(py::handle obj, py::handle other) {
  const int result = PyObject_RichCompareBool(obj.ptr(), other.ptr(), Py_EQ);
  if (result < 0) throw_current();
  return result != 0;
}

py::str text_of(py::handle obj) {
  if (PyUnicode_CheckExact(obj.ptr())) return py::reinterpret_borrow<py::str>(obj);
  return py::reinterpret_steal<py::str>(
      steal_or_throw(PyObject_Format(obj.ptr(), nullptr)).release());
}

py::str concat(std::initializer_list<py::handle> parts) {
  py::object items = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
  Py_ssize_t i = 0;
  for (py::handle part : parts) PyTuple_SET_ITEM(items.ptr(), i++, Py_NewRef(part.ptr()));
  static PyObject* const empty = intern("");
  return py::reinterpret_steal<py::str>(
      steal_or_throw(PyUnicode_Join(empty, items.ptr())).release());
}

}  // namespace orv::pyrt
