#include "geo/driver/common.hpp"

#include "pyrt/no_destructor.hpp"

namespace orv::geo {

Builtins& builtins() {
  static pyrt::NoDestructor<Builtins> instance;
  return *instance;
}

py::object gdal(const Call& call) { return call.global(PYRT_NAME("_gdal")); }

py::object metadata_item(py::handle self, py::handle key) {
  return pyrt::call_method(self, PYRT_NAME("_get_metadata_item_"), {key});
}

bool metadata_flag(py::handle self, py::handle key) {
  py::object item = metadata_item(self, key);
  // For an ASCII str, upper-casing and comparing with "YES" is a
  // case-insensitive comparison of three letters; any other object goes
  // through its own upper() and ==.
  if (PyUnicode_CheckExact(item.ptr()) && PyUnicode_IS_ASCII(item.ptr())) {
    if (PyUnicode_GET_LENGTH(item.ptr()) != 3) return false;
    const char* text = reinterpret_cast<const char*>(PyUnicode_DATA(item.ptr()));
    return (text[0] | 0x20) == 'y' && (text[1] | 0x20) == 'e' && (text[2] | 0x20) == 's';
  }
  py::object upper = pyrt::call_method(item, PYRT_NAME("upper"), {});
  return pyrt::equals(upper, PYRT_NAME("YES"));
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
