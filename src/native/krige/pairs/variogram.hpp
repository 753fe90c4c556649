// The variogram functions of the pair-tile module.
#pragma once

#include "krige/core/common.hpp"

namespace orv::krige::tiles {

// Binds spatial_order, variogram_classes, pair_range and
// filtered_classes in the module's globals.
void add_variogram_functions(py::handle globals);

}  // namespace orv::krige::tiles
