// VectorDriver: a Driver that insists on vector capability and creates empty
// vector datasets.
#include "geo/driver/members.hpp"
#include "pyrt/module.hpp"

namespace orv::geo {
namespace {

py::object vector_init(const Call& call) {
  py::handle self = call.arg(0);
  py::handle name = call.arg(1);
  py::object parent = pyrt::call(builtins().super, {call.class_cell(), self});
  pyrt::call_method(parent, PYRT_NAME("__init__"), {name});
  if (!pyrt::truthy(pyrt::get_attr(self, PYRT_NAME("is_vector")))) {
    pyrt::raise_package_error(call, PYRT_NAME("FormatError"),
                              {quoted_message(name, " is not a vector driver!")});
  }
  return py::none();
}

// A vector dataset has no size, bands or type of its own: GDAL gets zeros
// and no creation options (layers carry their options when they are made).
py::object vector_create_dataset(const Call& call) {
  py::handle self = call.arg(0);
  py::list options;
  py::object out_dst = py::reinterpret_borrow<py::object>(call.arg(1));
  if (out_dst.is_none()) {
    py::object temp_path = call.global(PYRT_NAME("mem_temp_path"));
    out_dst = pyrt::call(temp_path, {pyrt::get_attr(self, PYRT_NAME("extension"))});
  }
  py::object call_gdal_fun = call.global(PYRT_NAME("call_gdal_fun"));
  py::object create = pyrt::get_attr(gdal(call), PYRT_NAME("Driver_Create"));
  py::int_ zero(0);
  return pyrt::call(call_gdal_fun, {create, pyrt::get_attr(self, PYRT_NAME("_driver")), out_dst,
                                    zero, zero, zero, zero, options});
}

py::object vector_category(const Call&) {
  return py::reinterpret_borrow<py::object>(PYRT_NAME("Vector"));
}

py::object vector_create(const Call& call) {
  py::object dataset = pyrt::call_method(call.arg(0), PYRT_NAME("_create_"), {call.arg(1)});
  py::object wrapper = pyrt::import_from_sibling(call.globals(), "geodatabase", {"GeoDatabase"})[0];
  return pyrt::call(wrapper, {dataset});
}

py::object creation_ftypes(const Call& call) {
  return metadata_words(call.arg(0), PYRT_NAME("DMD_CREATIONFIELDDATATYPES"));
}

// Z always precedes M: XY, XYZ, XYM or XYZM.
py::object dimension(const Call& call) {
  py::handle self = call.arg(0);
  const bool z = metadata_flag(self, PYRT_NAME("DCAP_Z_GEOMETRIES"));
  const bool m = metadata_flag(self, PYRT_NAME("DCAP_MEASURED_GEOMETRIES"));
  const char* text = z ? (m ? "XYZM" : "XYZ") : (m ? "XYM" : "XY");
  return pyrt::steal_or_throw(PyUnicode_FromString(text));
}

py::object multi_layers(const Call& call) {
  return to_bool(metadata_flag(call.arg(0), PYRT_NAME("DCAP_MULTIPLE_VECTOR_LAYERS")));
}

py::object sql_dialects(const Call& call) {
  return metadata_words(call.arg(0), PYRT_NAME("SQL_DIALECTS"));
}

py::object vector_transformable(const Call& call) {
  return pyrt::get_attr(call.arg(0), PYRT_NAME("creatable"));
}

py::object shapefile_default() { return py::make_tuple(py::str("ESRI Shapefile")); }

constexpr const char* kInitDoc = R"(
        Create a vector driver object.

        **Optional
        ----------
        name = str. Default 'ESRI Shapefile'.
            A vector driver.
        )";

constexpr const char* kCreateDoc = R"(
        Create a new GeoDatabase with this driver.

        Parameters
        ----------
        out_dst: str.
            Path of the geo database to create. None for memory.

        Returns
        -------
        GeoDatabase    

        )";

}  // namespace

const pyrt::ClassSpec& vector_class() {
  using pyrt::Method;
  using pyrt::Property;
  static const pyrt::ClassSpec spec = {
      "VectorDriver",
      "Vector driver object.",
      {"Driver"},
      {
          Method("__init__", {"self", "name"}, kInitDoc, vector_init, shapefile_default),
          Method("_create_", {"self", "out_dst"}, nullptr, vector_create_dataset),
          Property("category", "Driver category. --> str", vector_category),
          Method("create", {"self", "out_dst"}, kCreateDoc, vector_create),
          Property("creation_ftypes", "Supported field storage types.--> list", creation_ftypes),
          kVectorCreationOptionsInfo,
          Property("dimension", "Get the dimension vector driver. --> str", dimension),
          Property("multi_layers", "Whether the vector driver supports multi layers. --> bool",
                   multi_layers),
          kVectorOpenOptionsInfo,
          Property("sql_dialects", "The vector driver support's sql dialects. --> list",
                   sql_dialects),
          Property("transformable", "Whether the vector driver supports transformable. --> bool",
                   vector_transformable),
      },
      true};
  return spec;
}

}  // namespace orv::geo
