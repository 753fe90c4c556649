#include "geo/driver/common.hpp"

#include <optional>
#include <utility>

#include "geo/driver/gdal_direct.hpp"
#include "pyrt/no_destructor.hpp"

namespace orv::geo {

Builtins& builtins() {
  static pyrt::NoDestructor<Builtins> instance;
  return *instance;
}

py::object gdal(const Call& call) { return call.global(PYRT_NAME("_gdal")); }

namespace {

// The item `getter(handle, key)` gives, or "" for a false one.
py::object item_or_empty(py::handle binding, py::handle getter, py::handle handle, py::handle key) {
  py::object value = direct::metadata_item(binding, getter, handle, key);
  if (!value) value = pyrt::call(getter, {handle, key});
  if (pyrt::truthy(value)) return value;
  return py::reinterpret_borrow<py::object>(PYRT_NAME(""));
}

py::object item_getter(py::handle binding) {
  return pyrt::get_attr(binding, PYRT_NAME("MajorObject_GetMetadataItem"));
}

// Driver._get_metadata_item_ as `self` would bind it, when it is the one
// below: then its body runs without a call through the interpreter.
py::object own_metadata_getter(py::handle self) {
  return pyrt::own_method(self, PYRT_NAME("_get_metadata_item_"), get_metadata_item);
}

// The binding and its item getter, looked up as the own getter's body
// (`own`, called with self and key) looks them up.
struct ItemSource {
  py::object binding;
  py::object getter;
};

ItemSource item_source(py::handle own, py::handle self, py::handle key) {
  PyObject* args[] = {self.ptr(), key.ptr()};
  py::object binding = gdal(Call(own.ptr(), args, nullptr, 2));
  py::object getter = item_getter(binding);
  return {std::move(binding), std::move(getter)};
}

}  // namespace

py::object get_metadata_item(const Call& call) {
  py::object binding = gdal(call);
  py::object getter = item_getter(binding);
  return item_or_empty(binding, getter, handle_of(call.arg(0)), call.arg(1));
}

py::object metadata_item(py::handle self, py::handle key) {
  if (py::object own = own_metadata_getter(self)) return pyrt::call_body(own, {self, key});
  return pyrt::call_method(self, PYRT_NAME("_get_metadata_item_"), {key});
}

bool metadata_flag(py::handle self, py::handle key) {
  py::object item;
  if (py::object own = own_metadata_getter(self)) {
    // The own getter's steps; on the direct path the flag comes straight
    // from the item's C string, with no str made for it.
    const ItemSource source = item_source(own, self, key);
    py::object handle = handle_of(self);
    bool flag = false;
    if (direct::metadata_flags(source.binding, source.getter, handle, {key}, &flag)) return flag;
    item = item_or_empty(source.binding, source.getter, handle, key);
  } else {
    item = pyrt::call_method(self, PYRT_NAME("_get_metadata_item_"), {key});
  }
  // For an ASCII str, upper-casing and comparing with "YES" is a
  // case-insensitive comparison of three letters; any other object goes
  // through its own upper() and ==.
  if (PyUnicode_CheckExact(item.ptr()) && PyUnicode_IS_ASCII(item.ptr())) {
    return ascii_yes(reinterpret_cast<const char*>(PyUnicode_DATA(item.ptr())),
                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(item.ptr())));
  }
  py::object upper = pyrt::call_method(item, PYRT_NAME("upper"), {});
  return pyrt::equals(upper, PYRT_NAME("YES"));
}

std::optional<std::pair<bool, bool>> metadata_flag_pair(py::handle self, py::handle first,
                                                        py::handle second) {
  py::object own = own_metadata_getter(self);
  if (!own || _PyType_Lookup(Py_TYPE(self.ptr()), PYRT_NAME("_driver").ptr()) != nullptr) {
    return std::nullopt;
  }
  const ItemSource source = item_source(own, self, first);
  PyObject* found = nullptr;
  py::object handle = pyrt::steal_found(
      PyObject_GetOptionalAttr(self.ptr(), PYRT_NAME("_driver").ptr(), &found), found);
  if (!handle) return std::nullopt;
  bool flags[2] = {false, false};
  if (!direct::metadata_flags(source.binding, source.getter, handle, {first, second}, flags)) {
    return std::nullopt;
  }
  return std::make_pair(flags[0], flags[1]);
}

py::object metadata_words(py::handle self, py::handle key) {
  return pyrt::call_method(metadata_item(self, key), PYRT_NAME("split"), {});
}

void set_attr(py::handle self, py::handle name, py::handle value) {
  if (PyObject_SetAttr(self.ptr(), name.ptr(), value.ptr()) < 0) pyrt::throw_current();
}

py::str quoted_message(py::handle value, const char* tail) {
  return pyrt::concat({PYRT_NAME("\""), pyrt::text_of(value), PYRT_NAME("\""), pyrt::intern(tail)});
}

}  // namespace orv::geo
