// ClassPartial, the picklable per-class result of a set of tiles, and its
// exact merge.
#pragma once

#include "krige/core/common.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"
#include "pyrt/classdef.hpp"

namespace orv::krige::tiles {

extern const pyrt::ClassSpec& class_partial_class();
extern const pyrt::FunctionSpec kMergePartials;

// The class sums a ClassPartial holds (ValueError when malformed).
ClassPartials read_partial(py::handle partial);

// A new ClassPartial holding `partials` (the module's class, by name).
py::object make_partial(const Call& call, const ClassPartials& partials);

}  // namespace orv::krige::tiles
