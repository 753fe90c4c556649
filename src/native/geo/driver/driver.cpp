// The Driver base class: the handle gatekeeper, construction from a name,
// index, handle or another Driver, and the capability properties read from
// the driver's metadata on every access.
#include "geo/driver/members.hpp"

namespace orv::geo {
namespace {

constexpr const char* kShadowMarker = "GDALDriverShadow *";

bool repr_has_marker(py::handle obj) {
  py::object text = pyrt::call_method(obj, PYRT_NAME("__repr__"), {});
  const int found = PySequence_Contains(text.ptr(), PYRT_NAME(kShadowMarker).ptr());
  if (found < 0) pyrt::throw_current();
  return found != 0;
}

// _to_driver_shadow_(candidate, False)
py::object shadow_of(const Call& call, py::handle candidate) {
  return pyrt::call(call.global(PYRT_NAME("_to_driver_shadow_")), {candidate, py::bool_(false)});
}

// _to_driver_shadow_(data, allow_error=True)
py::object to_driver_shadow(const Call& call) {
  py::object data = py::reinterpret_borrow<py::object>(call.arg(0));
  if (pyrt::is_instance(data, call.global(PYRT_NAME("Driver")))) {
    data = pyrt::get_attr(data, PYRT_NAME("_driver"));
  }
  if (repr_has_marker(data)) return data;
  py::object inner = pyrt::get_attr_or_none(data, PYRT_NAME("this"));
  if (pyrt::truthy(inner) && repr_has_marker(inner)) return inner;
  if (pyrt::truthy(call.arg(1))) return py::none();
  pyrt::raise_package_error(
      call, PYRT_NAME("FormatError"),
      {pyrt::concat({PYRT_NAME("Driver("), pyrt::text_of(data), PYRT_NAME(") is incorrect!")})});
}

py::object driver_init(const Call& call) {
  py::handle self = call.arg(0);
  py::handle name = call.arg(1);
  if (pyrt::is_instance(name, call.global(PYRT_NAME("Driver")))) {
    set_attr(self, PYRT_NAME("_driver"), pyrt::get_attr(name, PYRT_NAME("_driver")));
    set_attr(self, PYRT_NAME("_open_opts"), pyrt::get_attr(name, PYRT_NAME("_open_opts")));
    set_attr(self, PYRT_NAME("_creation_opts"), pyrt::get_attr(name, PYRT_NAME("_creation_opts")));
    return py::none();
  }
  py::object handle;
  if (PyLong_Check(name.ptr())) {
    handle = pyrt::call(pyrt::get_attr(gdal(call), PYRT_NAME("GetDriver")), {name});
    handle = shadow_of(call, handle);
  } else if (PyUnicode_Check(name.ptr())) {
    handle = pyrt::call(pyrt::get_attr(gdal(call), PYRT_NAME("GetDriverByName")), {name});
    if (handle.is_none()) handle = py::reinterpret_borrow<py::object>(name);
    handle = shadow_of(call, handle);
  } else {
    handle = shadow_of(call, name);
  }
  set_attr(self, PYRT_NAME("_driver"), handle);
  set_attr(self, PYRT_NAME("_open_opts"), py::dict());
  set_attr(self, PYRT_NAME("_creation_opts"), py::dict());
  return py::none();
}

py::object driver_repr(const Call& call) {
  return pyrt::call_method(call.arg(0), PYRT_NAME("__str__"), {});
}

py::object driver_str(const Call& call) {
  py::handle self = call.arg(0);
  py::str name = pyrt::text_of(pyrt::get_attr(self, PYRT_NAME("name")));
  py::str category = pyrt::text_of(pyrt::get_attr(self, PYRT_NAME("category")));
  return pyrt::concat({name, PYRT_NAME(" - "), category});
}

py::object category(const Call& call) {
  py::handle self = call.arg(0);
  py::list kinds;
  if (pyrt::truthy(pyrt::get_attr(self, PYRT_NAME("is_raster")))) kinds.append(PYRT_NAME("Raster"));
  if (pyrt::truthy(pyrt::get_attr(self, PYRT_NAME("is_vector")))) kinds.append(PYRT_NAME("Vector"));
  return pyrt::steal_or_throw(PyUnicode_Join(PYRT_NAME("/").ptr(), kinds.ptr()));
}

py::object creatable(const Call& call) {
  return to_bool(metadata_flag(call.arg(0), PYRT_NAME("DCAP_CREATE")));
}
py::object updatable(const Call& call) {
  return to_bool(metadata_flag(call.arg(0), PYRT_NAME("DCAP_UPDATE")));
}
py::object virtualio(const Call& call) {
  return to_bool(metadata_flag(call.arg(0), PYRT_NAME("DCAP_VIRTUALIO")));
}
py::object is_raster(const Call& call) {
  return to_bool(metadata_flag(call.arg(0), PYRT_NAME("DCAP_RASTER")));
}
py::object is_vector(const Call& call) {
  return to_bool(metadata_flag(call.arg(0), PYRT_NAME("DCAP_VECTOR")));
}

py::object extensions(const Call& call) {
  return metadata_words(call.arg(0), PYRT_NAME("DMD_EXTENSIONS"));
}

py::object extension(const Call& call) {
  py::handle self = call.arg(0);
  py::object ext = metadata_item(self, PYRT_NAME("DMD_EXTENSION"));
  if (pyrt::truthy(ext)) return ext;
  py::object all = pyrt::get_attr(self, PYRT_NAME("extensions"));
  if (pyrt::truthy(all)) return pyrt::steal_or_throw(PySequence_GetItem(all.ptr(), 0));
  return py::reinterpret_borrow<py::object>(PYRT_NAME(""));
}

py::object long_name(const Call& call) {
  return metadata_item(call.arg(0), PYRT_NAME("DMD_LONGNAME"));
}

py::object name(const Call& call) {
  py::object getter = pyrt::get_attr(gdal(call), PYRT_NAME("Driver_ShortName_get"));
  return pyrt::call(getter, {handle_of(call.arg(0))});
}

constexpr const char* kInitDoc = R"(
        Create a Dataset object!

        Parameters
        ----------
        name: str.
            A driver name.

        )";

}  // namespace

const pyrt::FunctionSpec kToDriverShadow = {
    "_to_driver_shadow_", {"data", "allow_error"}, nullptr, to_driver_shadow};

const pyrt::ClassSpec& driver_class() {
  using pyrt::Method;
  using pyrt::Property;
  static const pyrt::ClassSpec spec = {
      "Driver",
      "A orv Driver object.",
      {},
      {
          Method("__init__", {"self", "name"}, kInitDoc, driver_init),
          Method("__repr__", {"self"}, nullptr, driver_repr),
          Method("__str__", {"self"}, nullptr, driver_str),
          Method("_get_metadata_item_", {"self", "psz"}, nullptr, get_metadata_item),
          kDriverReprHtml,
          kSetCreationOptionsInfo,
          kSetOpenOptionsInfo,
          kSetOpts,
          Property("category", "Driver category. --> str", category),
          Property("creatable", "Whether the target drive supports creation. --> bool", creatable),
          kCreationOptions,
          kCreationOptionsInfo,
          Property("extension", "Driver extension. --> str", extension),
          Property("extensions", "Driver extensions. --> list", extensions),
          Property("is_raster", "Is a raster driver. --> bool", is_raster),
          Property("is_vector", "Is a vector driver. --> bool", is_vector),
          Property("long_name", "Driver long name. --> str", long_name),
          Property("name", "Driver name. --> str", name),
          kOpen,
          kOpenOptions,
          kOpenOptionsInfo,
          kSetCreationOptions,
          kSetOpenOptions,
          Property("updatable", "Whether the target driver can be modified/updated. --> bool",
                   updatable),
          Property("virtualio", "Whether the raster driver supports virtual dataset. --> bool",
                   virtualio),
      }};
  return spec;
}

}  // namespace orv::geo
