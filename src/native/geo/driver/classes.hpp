// The class and function tables of the driver module, one per definition.
#pragma once

#include "pyrt/classdef.hpp"

namespace orv::geo {

extern const pyrt::FunctionSpec kToDriverShadow;
const pyrt::ClassSpec& driver_class();

}  // namespace orv::geo
