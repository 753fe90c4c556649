// Members of the Driver base class: construction and the properties read
// from driver metadata.
#pragma once

#include "geo/driver/common.hpp"

namespace orv::geo {

py::object to_driver_shadow(const Call& call);
py::object driver_init(const Call& call);
py::object driver_repr(const Call& call);
py::object driver_str(const Call& call);
py::object get_metadata_item(const Call& call);
py::object category(const Call& call);
py::object creatable(const Call& call);
py::object updatable(const Call& call);
py::object virtualio(const Call& call);
py::object is_raster(const Call& call);
py::object is_vector(const Call& call);
py::object extensions(const Call& call);
py::object extension(const Call& call);
py::object long_name(const Call& call);
py::object name(const Call& call);

}  // namespace orv::geo
