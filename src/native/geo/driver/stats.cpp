// DriveStatistics: the driver list is built once from the registry; lookups
// and filters read the Driver properties afresh on every access.
#include "geo/driver/members.hpp"

namespace orv::geo {
namespace {

py::object drivers_of(py::handle self) { return pyrt::get_attr(self, PYRT_NAME("_drivers")); }

// The drivers of the snapshot for which `keep` holds, as a new list.
template <class Keep>
py::object drivers_where(py::handle self, Keep&& keep) {
  py::list kept;
  pyrt::for_each(drivers_of(self), [&](const py::object& driver) {
    if (keep(driver)) kept.append(driver);
    return false;
  });
  return std::move(kept);
}

bool has_flag(py::handle driver, py::handle property) {
  return pyrt::truthy(pyrt::get_attr(driver, property));
}

// "Raster" (or "Vector") is in driver.category.
bool category_names(py::handle driver, bool raster) {
  py::object category = pyrt::get_attr(driver, PYRT_NAME("category"));
  const int found = PySequence_Contains(category.ptr(),
                                        (raster ? PYRT_NAME("Raster") : PYRT_NAME("Vector")).ptr());
  if (found < 0) pyrt::throw_current();
  return found != 0;
}

py::object statistics_init(const Call& call) {
  py::handle self = call.arg(0);
  set_attr(self, PYRT_NAME("_drivers"), py::list());
  py::object count = pyrt::call(pyrt::get_attr(gdal(call), PYRT_NAME("GetDriverCount")), {});
  pyrt::for_each(pyrt::call(builtins().range, {count}), [&](const py::object& index) {
    py::object driver = pyrt::call(call.global(PYRT_NAME("Driver")), {index});
    pyrt::call_method(drivers_of(self), PYRT_NAME("append"), {driver});
    return false;
  });
  return py::none();
}

py::object statistics_getitem(const Call& call) {
  py::handle self = call.arg(0);
  py::handle indices = call.arg(1);
  if (PyLong_Check(indices.ptr())) {
    return pyrt::steal_or_throw(PyObject_GetItem(drivers_of(self).ptr(), indices.ptr()));
  }
  py::object text = PyUnicode_Check(indices.ptr())
                        ? py::reinterpret_borrow<py::object>(indices)
                        : pyrt::steal_or_throw(PyObject_Str(indices.ptr()));
  py::object wanted = pyrt::call_method(text, PYRT_NAME("lower"), {});
  py::object found;
  pyrt::for_each(drivers_of(self), [&](const py::object& driver) {
    py::object name = pyrt::get_attr(driver, PYRT_NAME("name"));
    if (!pyrt::equals(pyrt::call_method(name, PYRT_NAME("lower"), {}), wanted)) return false;
    found = driver;
    return true;
  });
  if (found) return found;
  pyrt::raise_package_error(call, PYRT_NAME("FormatError"),
                            {quoted_message(indices, " is not a driver!")});
}

py::object statistics_len(const Call& call) {
  py::object drivers = drivers_of(call.arg(0));
  const Py_ssize_t size = PyObject_Size(drivers.ptr());
  if (size < 0) pyrt::throw_current();
  return pyrt::steal_or_throw(PyLong_FromSsize_t(size));
}

py::object statistics_creatables(const Call& call) {
  return drivers_where(call.arg(0),
                       [](py::handle d) { return has_flag(d, PYRT_NAME("creatable")); });
}

py::object statistics_rasters(const Call& call) {
  return drivers_where(call.arg(0), [](py::handle d) { return category_names(d, true); });
}

py::object statistics_updatables(const Call& call) {
  return drivers_where(call.arg(0),
                       [](py::handle d) { return has_flag(d, PYRT_NAME("updatable")); });
}

py::object statistics_vectors(const Call& call) {
  return drivers_where(call.arg(0), [](py::handle d) { return category_names(d, false); });
}

py::object statistics_virtualios(const Call& call) {
  return drivers_where(call.arg(0),
                       [](py::handle d) { return has_flag(d, PYRT_NAME("virtualio")); });
}

}  // namespace

const pyrt::ClassSpec& statistics_class() {
  using pyrt::Method;
  using pyrt::Property;
  static const pyrt::ClassSpec spec = {
      "DriveStatistics",
      "Drive statistics object.",
      {},
      {
          Method("__init__", {"self"}, nullptr, statistics_init),
          Method("__getitem__", {"self", "indices"}, nullptr, statistics_getitem),
          Method("__len__", {"self"}, nullptr, statistics_len),
          kStatisticsReprHtml,
          Property("creatables", "List of supported drivers that can be created. --> list",
                   statistics_creatables),
          Property("rasters", "List of supported drivers that can be raster. --> list",
                   statistics_rasters),
          Property("updatables", "List of supported drivers that can be updatables. --> list",
                   statistics_updatables),
          Property("vectors", "List of supported drivers that can be vector. --> list",
                   statistics_vectors),
          Property("virtualios", "List of supported drivers that can be virtualios. --> list",
                   statistics_virtualios),
      }};
  return spec;
}

}  // namespace orv::geo
