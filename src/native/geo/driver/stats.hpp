// Members of DriveStatistics: a snapshot of the GDAL driver registry as a
// list of Driver objects, looked up by position or name and filtered by
// capability.
#pragma once

#include "geo/driver/common.hpp"

namespace orv::geo {

py::object statistics_init(const Call& call);
py::object statistics_getitem(const Call& call);
py::object statistics_len(const Call& call);
py::object statistics_creatables(const Call& call);
py::object statistics_rasters(const Call& call);
py::object statistics_updatables(const Call& call);
py::object statistics_vectors(const Call& call);
py::object statistics_virtualios(const Call& call);

}  // namespace orv::geo
