// Option lists of a driver. Each Driver caches one creation and one open
// option-info map (option name -> record of the XML attributes, "value" for
// the admissible values, "current" for the chosen one). A map is parsed from
// the driver's metadata on first use and kept while it is non-empty.
#include "geo/driver/members.hpp"
#include "pyrt/unpack.hpp"

namespace orv::geo {
namespace {

using pyrt::contains;
using pyrt::for_each;
using pyrt::get_item;
using pyrt::set_item;

// `mapping.get(key, {})`.
py::object get_or_empty(py::handle mapping, py::handle key) {
  return pyrt::call_method(mapping, PYRT_NAME("get"), {key, py::dict()});
}

// Where the creation map of a driver comes from: the metadata item holding
// the XML list and the configured per-driver defaults (empty: none).
struct CreationSource {
  py::handle item;
  py::object defaults;
};

py::object configured_defaults(const Call& call, py::handle config_name) {
  py::object config = pyrt::get_attr(call.global(PYRT_NAME("env")), config_name);
  return get_or_empty(config, PYRT_NAME("creation.options"));
}

// Raster lists read the dataset creation options, vector lists the layer
// creation options. `raster` None asks the driver which kind it is; a true or
// false `raster` only counts when the driver has that capability.
CreationSource creation_source(const Call& call, py::handle self, py::handle raster) {
  py::handle raster_item = PYRT_NAME("DMD_CREATIONOPTIONLIST");
  py::handle vector_item = PYRT_NAME("DS_LAYER_CREATIONOPTIONLIST");
  if (raster.is_none()) {
    if (pyrt::truthy(pyrt::get_attr(self, PYRT_NAME("is_raster")))) {
      return {raster_item, configured_defaults(call, PYRT_NAME("RasterConfig"))};
    }
    return {vector_item, configured_defaults(call, PYRT_NAME("VectorConfig"))};
  }
  if (pyrt::truthy(raster)) {
    if (pyrt::truthy(pyrt::get_attr(self, PYRT_NAME("is_raster")))) {
      return {raster_item, configured_defaults(call, PYRT_NAME("RasterConfig"))};
    }
  } else if (pyrt::truthy(pyrt::get_attr(self, PYRT_NAME("is_vector")))) {
    return {vector_item, configured_defaults(call, PYRT_NAME("VectorConfig"))};
  }
  return {raster_item, py::dict()};
}

// Parses the metadata item `key` of `self` with the module's read_xml_to_dict.
py::object parse_option_list(const Call& call, py::handle self, py::handle key) {
  py::object xml = metadata_item(self, key);
  return pyrt::call(call.global(PYRT_NAME("read_xml_to_dict")), {xml});
}

// The chosen values of an option-info map: name -> "current", for the
// records that have one, in map order.
py::object chosen_values(py::handle info) {
  py::dict chosen;
  for_each(pyrt::call_method(info, PYRT_NAME("items"), {}), [&](py::handle pair) {
    auto [name, record] = pyrt::unpack_pair_not_enough_values(pair);
    if (contains(record, PYRT_NAME("current"))) {
      set_item(chosen, name, get_item(record, PYRT_NAME("current")));
    }
  });
  return std::move(chosen);
}

// `self._set_opts_(info, **kwargs)`: the keywords arrive as a copy.
py::object set_options_on(const Call& call, py::handle info_property) {
  py::handle self = call.arg(0);
  py::object info = pyrt::get_attr(self, info_property);
  py::object setter = pyrt::get_attr(self, PYRT_NAME("_set_opts_"));
  py::object args = py::make_tuple(info);
  return pyrt::steal_or_throw(PyObject_Call(setter.ptr(), args.ptr(), call.kwargs().ptr()));
}

py::object options_info(py::handle self, py::handle method, py::handle raster) {
  return pyrt::call_method(self, method, {raster});
}

py::object read_xml_to_dict(const Call& call) {
  py::handle text = call.arg(0);
  py::dict options;
  if (!pyrt::truthy(text)) return std::move(options);
  py::object root =
      pyrt::call(pyrt::get_attr(call.global(PYRT_NAME("xet")), PYRT_NAME("fromstring")), {text});
  for_each(root, [&](py::handle element) {
    py::object record = pyrt::get_attr(element, PYRT_NAME("attrib"));
    py::object name = pyrt::call_method(record, PYRT_NAME("pop"), {PYRT_NAME("name")});
    py::list values;
    for_each(element,
             [&](py::handle child) { values.append(pyrt::get_attr(child, PYRT_NAME("text"))); });
    if (PyList_GET_SIZE(values.ptr()) != 0) set_item(record, PYRT_NAME("value"), values);
    set_item(options, name, record);
  });
  return std::move(options);
}

py::object set_creation_options_info(const Call& call) {
  py::handle self = call.arg(0);
  py::object cached = pyrt::get_attr(self, PYRT_NAME("_creation_opts"));
  if (pyrt::truthy(cached)) return cached;
  CreationSource source = creation_source(call, self, call.arg(1));
  py::object options = parse_option_list(call, self, source.item);
  set_attr(self, PYRT_NAME("_creation_opts"), options);
  if (!pyrt::truthy(source.defaults)) return options;
  py::object driver_defaults =
      get_or_empty(source.defaults, pyrt::get_attr(self, PYRT_NAME("name")));
  // Defaults for options the driver does not list are skipped.
  for_each(pyrt::call_method(driver_defaults, PYRT_NAME("items"), {}), [&](py::handle pair) {
    auto [name, value] = pyrt::unpack_pair_not_enough_values(pair);
    if (contains(options, name)) set_item(get_item(options, name), PYRT_NAME("current"), value);
  });
  return options;
}

// Open options get no configured defaults: the configuration holds creation
// defaults only, and an open option of the same name means something else.
py::object set_open_options_info(const Call& call) {
  py::handle self = call.arg(0);
  py::object cached = pyrt::get_attr(self, PYRT_NAME("_open_opts"));
  if (pyrt::truthy(cached)) return cached;
  py::object options = parse_option_list(call, self, PYRT_NAME("DMD_OPENOPTIONLIST"));
  set_attr(self, PYRT_NAME("_open_opts"), options);
  return options;
}

// Every name is checked before any record changes, so a failed call leaves
// the map as it was.
py::object set_opts(const Call& call) {
  py::handle opts = call.arg(1);
  py::handle kwargs = call.kwargs();
  py::list unknown;
  for_each(kwargs, [&](py::handle name) {
    if (!contains(opts, name)) unknown.append(name);
  });
  if (PyList_GET_SIZE(unknown.ptr()) != 0) {
    pyrt::raise_package_error(call, PYRT_NAME("FormatError"), {},
                              {{PYRT_NAME("errors"), unknown}, {PYRT_NAME("all_sels"), opts}});
  }
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwargs.ptr(), &pos, &name, &value)) {
    set_item(get_item(opts, name), PYRT_NAME("current"), value);
  }
  return py::none();
}

py::object creation_options(const Call& call) {
  return chosen_values(pyrt::get_attr(call.arg(0), PYRT_NAME("creation_options_info")));
}

py::object open_options(const Call& call) {
  return chosen_values(pyrt::get_attr(call.arg(0), PYRT_NAME("open_options_info")));
}

py::object creation_options_info(const Call& call) {
  return options_info(call.arg(0), PYRT_NAME("_set_creation_options_info_"), py::none());
}

py::object open_options_info(const Call& call) {
  return options_info(call.arg(0), PYRT_NAME("_set_open_options_info_"), py::none());
}

py::object set_creation_options(const Call& call) {
  set_options_on(call, PYRT_NAME("creation_options_info"));
  return py::none();
}

py::object set_open_options(const Call& call) {
  set_options_on(call, PYRT_NAME("open_options_info"));
  return py::none();
}

py::object raster_creation_options_info(const Call& call) {
  return options_info(call.arg(0), PYRT_NAME("_set_creation_options_info_"), py::bool_(true));
}

py::object raster_open_options_info(const Call& call) {
  return options_info(call.arg(0), PYRT_NAME("_set_open_options_info_"), py::bool_(true));
}

py::object vector_creation_options_info(const Call& call) {
  return options_info(call.arg(0), PYRT_NAME("_set_creation_options_info_"), py::bool_(false));
}

py::object vector_open_options_info(const Call& call) {
  return options_info(call.arg(0), PYRT_NAME("_set_open_options_info_"), py::bool_(false));
}

py::object none_default() { return py::make_tuple(py::none()); }

}  // namespace

using pyrt::Method;
using pyrt::MethodKw;
using pyrt::Property;

const pyrt::FunctionSpec kReadXmlToDict = {
    "read_xml_to_dict", {"xlm_str"}, nullptr, read_xml_to_dict};

const pyrt::MemberSpec kSetCreationOptionsInfo =
    Method("_set_creation_options_info_", {"self", "raster"}, "creation options. --> list",
           set_creation_options_info, none_default);
const pyrt::MemberSpec kSetOpenOptionsInfo =
    Method("_set_open_options_info_", {"self", "raster"}, "open options. --> list",
           set_open_options_info, none_default);
const pyrt::MemberSpec kSetOpts =
    MethodKw("_set_opts_", {"self", "opts"}, "kwargs", nullptr, set_opts);
const pyrt::MemberSpec kCreationOptions =
    Property("creation_options", "Creation options. --> dict", creation_options);
const pyrt::MemberSpec kCreationOptionsInfo =
    Property("creation_options_info", "Creation options info. --> list", creation_options_info);
const pyrt::MemberSpec kOpenOptions =
    Property("open_options", "Open options. --> dict", open_options);
const pyrt::MemberSpec kOpenOptionsInfo =
    Property("open_options_info", "Open options info. --> list", open_options_info);
const pyrt::MemberSpec kSetCreationOptions =
    MethodKw("set_creation_options", {"self"}, "kwargs",
             "Set create options! For more, see ~.creation_options_info!", set_creation_options);
const pyrt::MemberSpec kSetOpenOptions =
    MethodKw("set_open_options", {"self"}, "kwargs",
             "Set open options! For more, see ~.open_options_info!", set_open_options);
const pyrt::MemberSpec kRasterCreationOptionsInfo =
    Property("creation_options_info", "creation options. --> list", raster_creation_options_info);
const pyrt::MemberSpec kRasterOpenOptionsInfo =
    Property("open_options_info", "open options. --> list", raster_open_options_info);
const pyrt::MemberSpec kVectorCreationOptionsInfo =
    Property("creation_options_info", "creation options. --> list", vector_creation_options_info);
const pyrt::MemberSpec kVectorOpenOptionsInfo =
    Property("open_options_info", "open options. --> list", vector_open_options_info);

}  // namespace orv::geo
