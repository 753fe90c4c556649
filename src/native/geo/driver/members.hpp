// What the files of the driver module give each other: the module functions
// and class tables the frame installs, and the members the classes borrow
// from the option, view and open concerns. Each spec sits under its body.
#pragma once

#include "geo/driver/common.hpp"

namespace orv::geo {

// Module functions: _to_driver_shadow_ (driver.cpp), read_xml_to_dict
// (options.cpp).
extern const pyrt::FunctionSpec kToDriverShadow;
extern const pyrt::FunctionSpec kReadXmlToDict;

// The classes, in definition order.
const pyrt::ClassSpec& driver_class();
const pyrt::ClassSpec& raster_class();
const pyrt::ClassSpec& vector_class();
const pyrt::ClassSpec& statistics_class();

// options.cpp: the cached option-info maps of Driver, the values chosen in
// them, and the RasterDriver and VectorDriver overrides that fix the kind.
extern const pyrt::MemberSpec kSetCreationOptionsInfo;
extern const pyrt::MemberSpec kSetOpenOptionsInfo;
extern const pyrt::MemberSpec kSetOpts;
extern const pyrt::MemberSpec kCreationOptions;
extern const pyrt::MemberSpec kCreationOptionsInfo;
extern const pyrt::MemberSpec kOpenOptions;
extern const pyrt::MemberSpec kOpenOptionsInfo;
extern const pyrt::MemberSpec kSetCreationOptions;
extern const pyrt::MemberSpec kSetOpenOptions;
extern const pyrt::MemberSpec kRasterCreationOptionsInfo;
extern const pyrt::MemberSpec kRasterOpenOptionsInfo;
extern const pyrt::MemberSpec kVectorCreationOptionsInfo;
extern const pyrt::MemberSpec kVectorOpenOptionsInfo;

// html.cpp: the notebook views of Driver and DriveStatistics.
extern const pyrt::MemberSpec kDriverReprHtml;
extern const pyrt::MemberSpec kStatisticsReprHtml;

// open.cpp: Driver.open.
extern const pyrt::MemberSpec kOpen;

}  // namespace orv::geo
