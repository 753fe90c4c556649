// Driver.open: opening an existing file with one driver.
#pragma once

#include "geo/driver/common.hpp"

namespace orv::geo {

py::object driver_open(const Call& call);

// The __defaults__ of Driver.open: one empty list, shared by every call that
// omits sibling_files.
py::object driver_open_defaults();

}  // namespace orv::geo
