// Option lists of a driver: parsing GDAL's option-list XML, the two cached
// option-info maps with their configured defaults, and choosing values by
// keyword.
#pragma once

#include "geo/driver/common.hpp"

namespace orv::geo {

py::object read_xml_to_dict(const Call& call);

py::object set_creation_options_info(const Call& call);
py::object set_open_options_info(const Call& call);
py::object set_opts(const Call& call);

py::object creation_options(const Call& call);
py::object open_options(const Call& call);
py::object creation_options_info(const Call& call);
py::object open_options_info(const Call& call);
py::object set_creation_options(const Call& call);
py::object set_open_options(const Call& call);

// The subclass overrides: the creation map is read as raster (True) or as
// vector (False) when first filled.
py::object raster_creation_options_info(const Call& call);
py::object raster_open_options_info(const Call& call);
py::object vector_creation_options_info(const Call& call);
py::object vector_open_options_info(const Call& call);

}  // namespace orv::geo
