// The class tables of the driver module: one entry per member, in
// definition order; the bodies live in the files of their concern.
#include "geo/driver/classes.hpp"

#include "geo/driver/driver.hpp"
#include "geo/driver/html.hpp"
#include "geo/driver/open.hpp"
#include "geo/driver/options.hpp"
#include "geo/driver/raster.hpp"
#include "geo/driver/stats.hpp"
#include "geo/driver/vector.hpp"

namespace orv::geo {
namespace {

using pyrt::Method;
using pyrt::MethodKw;
using pyrt::Property;

constexpr const char* kDriverInitDoc =
    "\n        Create a Dataset object!\n\n        Parameters\n        ----------\n"
    "        name: str.\n            A driver name.\n\n        ";

constexpr const char* kOpenDoc =
    "\n        Open a raster file of this driver as a Dataset.\n\n        Parameters\n"
    "        ----------\n        in_src: str\n            name of the file to open\n\n"
    "        **Optional\n        ----------\n        sibling_files: list, default = None.\n"
    "            A list of filenames that are auxiliary to the main filename.\n\n"
    "        Returns\n        -------\n        Dataset\n\n        ";

constexpr const char* kRasterInitDoc =
    "\n        Create a raster driver object.\n\n        **Optional\n        ----------\n"
    "        name = str. Default 'GTiff'.\n            A raster driver name.\n        ";

constexpr const char* kRasterCreateDoc =
    "\n        Create a new Dataset with this driver.\n\n        Parameters\n"
    "        ----------\n        out_dst: str.\n"
    "            Path of the dataset to create. None for memory.\n\n        xsize: int.\n"
    "            Width of created raster in pixels. \n\n        ysize: int.\n"
    "            Height of created raster in pixels. \n\n        bands: int.\n"
    "            Number of bands. \n\n        **Optional\n        ----------\n"
    "        dtype: int. str or RaterDataType, default = 'Float32'.\n"
    "            Raster data type. Set to `dtypes.RaterDataType` for raster datasets.\n\n"
    "        Returns\n        -------\n        Dataset    \n\n        ";

constexpr const char* kVectorInitDoc =
    "\n        Create a vector driver object.\n\n        **Optional\n        ----------\n"
    "        name = str. Default 'ESRI Shapefile'.\n            A vector driver.\n        ";

constexpr const char* kVectorCreateDoc =
    "\n        Create a new GeoDatabase with this driver.\n\n        Parameters\n"
    "        ----------\n        out_dst: str.\n"
    "            Path of the geo database to create. None for memory.\n\n        Returns\n"
    "        -------\n        GeoDatabase    \n\n        ";

py::object none_default() { return py::make_tuple(py::none()); }
py::object gtiff_default() { return py::make_tuple(py::str("GTiff")); }
py::object shapefile_default() { return py::make_tuple(py::str("ESRI Shapefile")); }
py::object float32_default() { return py::make_tuple(py::str("Float32")); }

}  // namespace

const pyrt::FunctionSpec kToDriverShadow = {
    "_to_driver_shadow_", {"data", "allow_error"}, nullptr, to_driver_shadow};

const pyrt::FunctionSpec kReadXmlToDict = {
    "read_xml_to_dict", {"xlm_str"}, nullptr, read_xml_to_dict};

const pyrt::ClassSpec& driver_class() {
  static const pyrt::ClassSpec spec = {
      "Driver",
      "A orv Driver object.",
      {},
      {
          Method("__init__", {"self", "name"}, kDriverInitDoc, driver_init),
          Method("__repr__", {"self"}, nullptr, driver_repr),
          Method("__str__", {"self"}, nullptr, driver_str),
          Method("_get_metadata_item_", {"self", "psz"}, nullptr, get_metadata_item),
          Method("_repr_html_", {"self"}, nullptr, driver_repr_html),
          Method("_set_creation_options_info_", {"self", "raster"}, "creation options. --> list",
                 set_creation_options_info, none_default),
          Method("_set_open_options_info_", {"self", "raster"}, "open options. --> list",
                 set_open_options_info, none_default),
          MethodKw("_set_opts_", {"self", "opts"}, "kwargs", nullptr, set_opts),
          Property("category", "Driver category. --> str", category),
          Property("creatable", "Whether the target drive supports creation. --> bool", creatable),
          Property("creation_options", "Creation options. --> dict", creation_options),
          Property("creation_options_info", "Creation options info. --> list",
                   creation_options_info),
          Property("extension", "Driver extension. --> str", extension),
          Property("extensions", "Driver extensions. --> list", extensions),
          Property("is_raster", "Is a raster driver. --> bool", is_raster),
          Property("is_vector", "Is a vector driver. --> bool", is_vector),
          Property("long_name", "Driver long name. --> str", long_name),
          Property("name", "Driver name. --> str", name),
          Method("open", {"self", "in_src", "sibling_files"}, kOpenDoc, driver_open,
                 driver_open_defaults),
          Property("open_options", "Open options. --> dict", open_options),
          Property("open_options_info", "Open options info. --> list", open_options_info),
          MethodKw("set_creation_options", {"self"}, "kwargs",
                   "Set create options! For more, see ~.creation_options_info!",
                   set_creation_options),
          MethodKw("set_open_options", {"self"}, "kwargs",
                   "Set open options! For more, see ~.open_options_info!", set_open_options),
          Property("updatable", "Whether the target driver can be modified/updated. --> bool",
                   updatable),
          Property("virtualio", "Whether the raster driver supports virtual dataset. --> bool",
                   virtualio),
      }};
  return spec;
}

const pyrt::ClassSpec& raster_class() {
  static const pyrt::ClassSpec spec = {
      "RasterDriver",
      "Raster driver object.",
      {"Driver"},
      {
          Method("__init__", {"self", "name"}, kRasterInitDoc, raster_init, gtiff_default),
          Method("_create_", {"self", "out_dst", "bands", "ysize", "xsize", "dtype"}, nullptr,
                 raster_create_dataset, float32_default),
          Property("category", "Driver category. --> str", raster_category),
          Property("compress_modes",
                   "The compression methods supported by the raster driver.--> list",
                   compress_modes),
          Property("coordinate_epoch",
                   "Whether the raster driver supports georeferencing. --> bool", coordinate_epoch),
          Property("copyable", "Whether the target drive supports copy. --> bool", copyable),
          Method("create", {"self", "out_dst", "bands", "ysize", "xsize", "dtype"},
                 kRasterCreateDoc, raster_create, float32_default),
          Property("creation_dtypes", "Supported data storage types.--> list", creation_dtypes),
          Property("creation_options_info", "creation options. --> list",
                   raster_creation_options_info),
          Property("open_options_info", "open options. --> list", raster_open_options_info),
          Property("sub_datasets", "Whether the raster driver supports sub dataset. --> bool",
                   sub_datasets),
          Property("transformable", "Whether the raster driver supports transformable. --> bool",
                   raster_transformable),
      },
      true};
  return spec;
}

const pyrt::ClassSpec& vector_class() {
  static const pyrt::ClassSpec spec = {
      "VectorDriver",
      "Vector driver object.",
      {"Driver"},
      {
          Method("__init__", {"self", "name"}, kVectorInitDoc, vector_init, shapefile_default),
          Method("_create_", {"self", "out_dst"}, nullptr, vector_create_dataset),
          Property("category", "Driver category. --> str", vector_category),
          Method("create", {"self", "out_dst"}, kVectorCreateDoc, vector_create),
          Property("creation_ftypes", "Supported field storage types.--> list", creation_ftypes),
          Property("creation_options_info", "creation options. --> list",
                   vector_creation_options_info),
          Property("dimension", "Get the dimension vector driver. --> str", dimension),
          Property("multi_layers", "Whether the vector driver supports multi layers. --> bool",
                   multi_layers),
          Property("open_options_info", "open options. --> list", vector_open_options_info),
          Property("sql_dialects", "The vector driver support's sql dialects. --> list",
                   sql_dialects),
          Property("transformable", "Whether the vector driver supports transformable. --> bool",
                   vector_transformable),
      },
      true};
  return spec;
}

const pyrt::ClassSpec& statistics_class() {
  static const pyrt::ClassSpec spec = {
      "DriveStatistics",
      "Drive statistics object.",
      {},
      {
          Method("__init__", {"self"}, nullptr, statistics_init),
          Method("__getitem__", {"self", "indices"}, nullptr, statistics_getitem),
          Method("__len__", {"self"}, nullptr, statistics_len),
          Method("_repr_html_", {"self"}, "HTML style for Jupyter NoteBook.", statistics_repr_html),
          Property("creatables", "List of supported drivers that can be created. --> list",
                   statistics_creatables),
          Property("rasters", "List of supported drivers that can be raster. --> list",
                   statistics_rasters),
          Property("updatables", "List of supported drivers that can be updatables. --> list",
                   statistics_updatables),
          Property("vectors", "List of supported drivers that can be vector. --> list",
                   statistics_vectors),
          Property("virtualios", "List of supported drivers that can be virtualios. --> list",
                   statistics_virtualios),
      }};
  return spec;
}

}  // namespace orv::geo
