// The notebook views: Driver._repr_html_ and DriveStatistics._repr_html_.
// Both only gather values and hand them to the package's HTML builders.
#pragma once

#include "geo/driver/common.hpp"

namespace orv::geo {

py::object driver_repr_html(const Call& call);
py::object statistics_repr_html(const Call& call);

}  // namespace orv::geo
