// The three functions the kriging core publishes, and its parameter table.
#pragma once

#include "krige/core/common.hpp"

namespace orv::krige {

// adjust_anisotropy(points, center, scale, angle)
extern const pyrt::FunctionSpec kAdjustAnisotropy;
// init_variogram_parameters(model, parameters)
extern const pyrt::FunctionSpec kInitVariogramParameters;
// init_variogram_model(points, values, n_lags, gtype)
extern const pyrt::FunctionSpec kInitVariogramModel;

// A new DEFAULT_PARAMETERS dict: model name -> list of its parameter names.
py::object make_default_parameters();

}  // namespace orv::krige
