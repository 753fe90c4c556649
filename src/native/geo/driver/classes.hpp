// The class and function tables of the driver module, one per definition.
#pragma once

#include "pyrt/classdef.hpp"

namespace orv::geo {

extern const pyrt::FunctionSpec kToDriverShadow;
extern const pyrt::FunctionSpec kReadXmlToDict;
const pyrt::ClassSpec& driver_class();
const pyrt::ClassSpec& statistics_class();
const pyrt::ClassSpec& raster_class();
const pyrt::ClassSpec& vector_class();

}  // namespace orv::geo
