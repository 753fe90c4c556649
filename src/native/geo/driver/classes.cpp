// The class tables of the driver module: one entry per member, in
// definition order; the bodies live in the files of their concern.
#include "geo/driver/classes.hpp"

#include "geo/driver/driver.hpp"

namespace orv::geo {
namespace {

using pyrt::Method;
using pyrt::MethodKw;
using pyrt::Property;

constexpr const char* kDriverInitDoc =
    "\n        Create a Dataset object!\n\n        Parameters\n        ----------\n"
    "        name: str.\n            A driver name.\n\n        ";

}  // namespace

const pyrt::FunctionSpec kToDriverShadow = {
    "_to_driver_shadow_", {"data", "allow_error"}, nullptr, to_driver_shadow};

const pyrt::ClassSpec& driver_class() {
  static const pyrt::ClassSpec spec = {
      "Driver",
      "A orv Driver object.",
      {},
      {
          Method("__init__", {"self", "name"}, kDriverInitDoc, driver_init),
          Method("__repr__", {"self"}, nullptr, driver_repr),
          Method("__str__", {"self"}, nullptr, driver_str),
          Method("_get_metadata_item_", {"self", "psz"}, nullptr, get_metadata_item),
          Property("category", "Driver category. --> str", category),
          Property("creatable", "Whether the target drive supports creation. --> bool", creatable),
          Property("extension", "Driver extension. --> str", extension),
          Property("extensions", "Driver extensions. --> list", extensions),
          Property("is_raster", "Is a raster driver. --> bool", is_raster),
          Property("is_vector", "Is a vector driver. --> bool", is_vector),
          Property("long_name", "Driver long name. --> str", long_name),
          Property("name", "Driver name. --> str", name),
          Property("updatable", "Whether the target driver can be modified/updated. --> bool",
                   updatable),
          Property("virtualio", "Whether the raster driver supports virtual dataset. --> bool",
                   virtualio),
      }};
  return spec;
}

}  // namespace orv::geo
