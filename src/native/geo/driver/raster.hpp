// Members of RasterDriver: the raster capability check, dataset creation and
// the raster capability properties.
#pragma once

#include "geo/driver/common.hpp"

namespace orv::geo {

py::object raster_init(const Call& call);
py::object raster_create_dataset(const Call& call);
py::object raster_category(const Call& call);
py::object compress_modes(const Call& call);
py::object coordinate_epoch(const Call& call);
py::object copyable(const Call& call);
py::object raster_create(const Call& call);
py::object creation_dtypes(const Call& call);
py::object sub_datasets(const Call& call);
py::object raster_transformable(const Call& call);

}  // namespace orv::geo
