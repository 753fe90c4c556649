// RasterDriver: a Driver that insists on raster capability and creates
// raster datasets with the chosen creation options.
#include "geo/driver/members.hpp"
#include "pyrt/module.hpp"

namespace orv::geo {
namespace {

// create and _create_ take (self, out_dst, bands, ysize, xsize, dtype='Float32').
enum CreateSlot : std::size_t { kSelf, kOutDst, kBands, kYSize, kXSize, kDType };
const std::vector<const char*> kCreateParams = {"self",  "out_dst", "bands",
                                                "ysize", "xsize",   "dtype"};
py::object float32_default() { return py::make_tuple(py::str("Float32")); }

py::object raster_init(const Call& call) {
  py::handle self = call.arg(kSelf);
  py::handle name = call.arg(1);
  py::object parent = pyrt::call(builtins().super, {call.class_cell(), self});
  pyrt::call_method(parent, PYRT_NAME("__init__"), {name});
  if (!pyrt::truthy(pyrt::get_attr(self, PYRT_NAME("is_raster")))) {
    pyrt::raise_package_error(call, PYRT_NAME("FormatError"),
                              {quoted_message(name, " is not a raster driver!")});
  }
  return py::none();
}

// GDAL takes columns, rows, bands: the reverse of the parameter order.
py::object raster_create_dataset(const Call& call) {
  py::handle self = call.arg(kSelf);
  py::object options = pyrt::get_attr(self, PYRT_NAME("creation_options"));
  py::object out_dst = py::reinterpret_borrow<py::object>(call.arg(kOutDst));
  if (out_dst.is_none()) {
    py::object temp_path = call.global(PYRT_NAME("mem_temp_path"));
    out_dst = pyrt::call(temp_path, {pyrt::get_attr(self, PYRT_NAME("extension"))});
  }
  py::object dtypes = call.global(PYRT_NAME("dtypes"));
  py::object code =
      pyrt::call_method(dtypes, PYRT_NAME("get_raster_dtype_code"), {call.arg(kDType)});
  py::object call_gdal_fun = call.global(PYRT_NAME("call_gdal_fun"));
  py::object create = pyrt::get_attr(gdal(call), PYRT_NAME("Driver_Create"));
  return pyrt::call(call_gdal_fun,
                    {create, pyrt::get_attr(self, PYRT_NAME("_driver")), out_dst, call.arg(kXSize),
                     call.arg(kYSize), call.arg(kBands), code, options});
}

// The docstring documents the sizes as xsize, ysize, bands while the
// parameters read bands, ysize, xsize. Sizes given all by position follow
// the docstring; as soon as one comes by keyword, the names are taken at
// their word.
py::object raster_create(const Call& call) {
  py::handle self = call.arg(kSelf);
  const bool sizes_by_position = call.positional_count() > kXSize;
  py::handle first = sizes_by_position ? call.arg(kXSize) : call.arg(kBands);
  py::handle last = sizes_by_position ? call.arg(kBands) : call.arg(kXSize);
  py::object dataset =
      pyrt::call_method(self, PYRT_NAME("_create_"),
                        {call.arg(kOutDst), first, call.arg(kYSize), last, call.arg(kDType)});
  py::object wrapper = pyrt::import_from_sibling(call.globals(), "geodatabase", {"GeoDatabase"})[0];
  return pyrt::call(wrapper, {dataset});
}

py::object raster_category(const Call&) {
  return py::reinterpret_borrow<py::object>(PYRT_NAME("Raster"));
}

py::object compress_modes(const Call& call) {
  py::object info = pyrt::get_attr(call.arg(kSelf), PYRT_NAME("creation_options_info"));
  py::object compress =
      pyrt::call_method(info, PYRT_NAME("get"), {PYRT_NAME("COMPRESS"), py::dict()});
  return pyrt::call_method(compress, PYRT_NAME("get"), {PYRT_NAME("value"), py::list()});
}

py::object coordinate_epoch(const Call& call) {
  return to_bool(metadata_flag(call.arg(kSelf), PYRT_NAME("DCAP_COORDINATE_EPOCH")));
}

py::object copyable(const Call& call) {
  return to_bool(metadata_flag(call.arg(kSelf), PYRT_NAME("DCAP_CREATECOPY")));
}

py::object creation_dtypes(const Call& call) {
  return metadata_words(call.arg(kSelf), PYRT_NAME("DMD_CREATIONDATATYPES"));
}

py::object sub_datasets(const Call& call) {
  return to_bool(metadata_flag(call.arg(kSelf), PYRT_NAME("DMD_SUBDATASETS")));
}

py::object raster_transformable(const Call& call) {
  py::handle self = call.arg(kSelf);
  py::object copy = pyrt::get_attr(self, PYRT_NAME("copyable"));
  py::object create = pyrt::get_attr(self, PYRT_NAME("creatable"));
  return pyrt::steal_or_throw(PyNumber_Or(copy.ptr(), create.ptr()));
}

py::object gtiff_default() { return py::make_tuple(py::str("GTiff")); }

constexpr const char* kInitDoc = R"(
        Create a raster driver object.

        **Optional
        ----------
        name = str. Default 'GTiff'.
            A raster driver name.
        )";

constexpr const char* kCreateDoc = R"(
        Create a new Dataset with this driver.

        Parameters
        ----------
        out_dst: str.
            Path of the dataset to create. None for memory.

        xsize: int.
            Width of created raster in pixels. 

        ysize: int.
            Height of created raster in pixels. 

        bands: int.
            Number of bands. 

        **Optional
        ----------
        dtype: int. str or RaterDataType, default = 'Float32'.
            Raster data type. Set to `dtypes.RaterDataType` for raster datasets.

        Returns
        -------
        Dataset    

        )";

}  // namespace

const pyrt::ClassSpec& raster_class() {
  using pyrt::Method;
  using pyrt::Property;
  static const pyrt::ClassSpec spec = {
      "RasterDriver",
      "Raster driver object.",
      {"Driver"},
      {
          Method("__init__", {"self", "name"}, kInitDoc, raster_init, gtiff_default),
          Method("_create_", kCreateParams, nullptr, raster_create_dataset, float32_default),
          Property("category", "Driver category. --> str", raster_category),
          Property("compress_modes",
                   "The compression methods supported by the raster driver.--> list",
                   compress_modes),
          Property("coordinate_epoch",
                   "Whether the raster driver supports georeferencing. --> bool", coordinate_epoch),
          Property("copyable", "Whether the target drive supports copy. --> bool", copyable),
          Method("create", kCreateParams, kCreateDoc, raster_create, float32_default),
          Property("creation_dtypes", "Supported data storage types.--> list", creation_dtypes),
          kRasterCreationOptionsInfo,
          kRasterOpenOptionsInfo,
          Property("sub_datasets", "Whether the raster driver supports sub dataset. --> bool",
                   sub_datasets),
          Property("transformable", "Whether the raster driver supports transformable. --> bool",
                   raster_transformable),
      },
      true};
  return spec;
}

}  // namespace orv::geo
