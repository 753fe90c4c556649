// Driver.open hands the file to the package opener with GDAL open flags
// derived from the driver's kind, the driver's name as the only allowed
// driver and the chosen open options.
#include "geo/driver/members.hpp"
#include "pyrt/module.hpp"

namespace orv::geo {
namespace {

// GDAL's open-flag bits.
constexpr long kUpdate = 1;
constexpr long kRaster = 2;
constexpr long kVector = 4;
constexpr long kGnm = 8;
constexpr long kMultidimRaster = 16;

long kind_flags(py::handle self) {
  if (pyrt::equals(attr(self, PYRT_NAME("category")), PYRT_NAME("Raster"))) {
    return kRaster | kGnm | kMultidimRaster;
  }
  if (pyrt::equals(attr(self, PYRT_NAME("category")), PYRT_NAME("Vector"))) return kVector;
  // Both kinds or neither: let GDAL accept any.
  return 0;
}

// open(self, in_src, sibling_files=[]): the one default list is shared by
// every call that omits sibling_files.
enum OpenSlot : std::size_t { kSelf, kInSrc, kSiblingFiles };
py::object open_defaults() { return py::make_tuple(py::list()); }

constexpr const char* kOpenDoc = R"(
        Open a raster file of this driver as a Dataset.

        Parameters
        ----------
        in_src: str
            name of the file to open

        **Optional
        ----------
        sibling_files: list, default = None.
            A list of filenames that are auxiliary to the main filename.

        Returns
        -------
        Dataset

        )";

py::object driver_open(const Call& call) {
  py::handle self = call.arg(kSelf);
  py::object open_options = attr(self, PYRT_NAME("open_options"));
  long flags = kind_flags(self);
  // Drivers that can create are opened for update.
  if (pyrt::truthy(attr(self, PYRT_NAME("creatable")))) flags |= kUpdate;
  py::object open_file = pyrt::import_from_sibling(call.globals(), "geodatabase", {"open_file"})[0];
  py::list allowed;
  allowed.append(attr(self, PYRT_NAME("name")));
  return pyrt::call(open_file, {call.arg(kInSrc), py::int_(flags), allowed, open_options,
                                call.arg(kSiblingFiles)});
}

}  // namespace

const pyrt::MemberSpec kOpen =
    pyrt::Method("open", {"self", "in_src", "sibling_files"}, kOpenDoc, driver_open, open_defaults);

}  // namespace orv::geo
