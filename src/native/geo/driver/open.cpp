// Driver.open hands the file to the package opener with GDAL open flags
// derived from the driver's kind, the driver's name as the only allowed
// driver and the chosen open options.
#include "geo/driver/members.hpp"
#include "pyrt/module.hpp"

namespace orv::geo {
namespace {

// GDAL's open-flag bits by their names in the binding's constants module
// (already imported with the binding).
struct OpenFlags {
  long update, raster, vector, gnm, multidim_raster;
};

long flag_value(py::handle constants, py::handle name) {
  const long value = PyLong_AsLong(pyrt::get_attr(constants, name).ptr());
  if (value == -1 && PyErr_Occurred()) pyrt::throw_current();
  return value;
}

OpenFlags open_flags() {
  py::object constants = pyrt::steal_or_throw(PyImport_ImportModule("osgeo.gdalconst"));
  return {flag_value(constants, PYRT_NAME("OF_UPDATE")),
          flag_value(constants, PYRT_NAME("OF_RASTER")),
          flag_value(constants, PYRT_NAME("OF_VECTOR")), flag_value(constants, PYRT_NAME("OF_GNM")),
          flag_value(constants, PYRT_NAME("OF_MULTIDIM_RASTER"))};
}

long kind_flags(py::handle self, const OpenFlags& of) {
  if (pyrt::equals(pyrt::get_attr(self, PYRT_NAME("category")), PYRT_NAME("Raster"))) {
    return of.raster | of.gnm | of.multidim_raster;
  }
  if (pyrt::equals(pyrt::get_attr(self, PYRT_NAME("category")), PYRT_NAME("Vector"))) {
    return of.vector;
  }
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
  py::object open_options = pyrt::get_attr(self, PYRT_NAME("open_options"));
  const OpenFlags of = open_flags();
  long flags = kind_flags(self, of);
  // Drivers that can create are opened for update.
  if (pyrt::truthy(pyrt::get_attr(self, PYRT_NAME("creatable")))) flags |= of.update;
  py::object open_file = pyrt::import_from_sibling(call.globals(), "geodatabase", {"open_file"})[0];
  py::list allowed;
  allowed.append(pyrt::get_attr(self, PYRT_NAME("name")));
  return pyrt::call(open_file, {call.arg(kInSrc), py::int_(flags), allowed, open_options,
                                call.arg(kSiblingFiles)});
}

}  // namespace

const pyrt::MemberSpec kOpen =
    pyrt::Method("open", {"self", "in_src", "sibling_files"}, kOpenDoc, driver_open, open_defaults);

}  // namespace orv::geo
