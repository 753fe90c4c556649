#include "geo/driver/common.hpp"

#include "pyrt/no_destructor.hpp"

namespace orv::geo {

Builtins& builtins() {
  static pyrt::NoDestructor<Builtins> instance;
  return *instance;
}

py::object gdal(const Call& call) { return call.global(PYRT_NAME("_gdal")); }

py::object get_metadata_item(const Call& call) {
  py::object getter = pyrt::get_attr(gdal(call), PYRT_NAME("MajorObject_GetMetadataItem"));
  py::object value = pyrt::call(getter, {handle_of(call.arg(0)), call.arg(1)});
  if (pyrt::truthy(value)) return value;
  return py::reinterpret_borrow<py::object>(PYRT_NAME(""));
}

py::object metadata_item(py::handle self, py::handle key) {
  return pyrt::call_method(self, PYRT_NAME("_get_metadata_item_"), {key});
}

bool metadata_flag(py::handle self, py::handle key) {
  py::object upper = pyrt::call_method(metadata_item(self, key), PYRT_NAME("upper"), {});
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
