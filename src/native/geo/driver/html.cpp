// The notebook views. Neither writes markup: they collect plain values in a
// fixed order and layout for gdata.ORVHTMLDetails / gdata.ORVHTMLTable and
// return the builder's to_html() unchanged.
#include <array>
#include <utility>

#include "geo/driver/members.hpp"
#include "pyrt/module.hpp"
#include "pyrt/unpack.hpp"

namespace orv::geo {
namespace {

py::object item_at(py::handle sequence, Py_ssize_t index) {
  py::object key = pyrt::steal_or_throw(PyLong_FromSsize_t(index));
  return pyrt::steal_or_throw(PyObject_GetItem(sequence.ptr(), key.ptr()));
}

// The positions produced by the builtin range called with the items of
// `arguments` (start and stop, as the row selection gives them).
py::object range_over(py::handle arguments) {
  py::object args = pyrt::steal_or_throw(PySequence_Tuple(arguments.ptr()));
  py::object range =
      pyrt::steal_or_throw(PyObject_Call(builtins().range.ptr(), args.ptr(), nullptr));
  return pyrt::steal_or_throw(PyObject_GetIter(range.ptr()));
}

py::object length_of(py::handle obj) {
  const Py_ssize_t size = PyObject_Size(obj.ptr());
  if (size < 0) pyrt::throw_current();
  return pyrt::steal_or_throw(PyLong_FromSsize_t(size));
}

// A new dict from (key, value) pairs, inserted in the given order.
py::dict ordered_dict(std::initializer_list<std::pair<py::handle, py::handle>> items) {
  py::dict result;
  for (const auto& [key, value] : items) {
    if (PyDict_SetItem(result.ptr(), key.ptr(), value.ptr()) < 0) pyrt::throw_current();
  }
  return result;
}

// The registry columns: header texts and the Driver properties of a row.
constexpr const char* kFieldNames[] = {"name",      "category",  "extension",
                                       "creatable", "updatable", "virtualio"};
constexpr Py_ssize_t kFieldCount = sizeof(kFieldNames) / sizeof(kFieldNames[0]);

// The field names as interned str, made once (and again after a failure).
const std::array<PyObject*, kFieldCount>& field_names() {
  static const std::array<PyObject*, kFieldCount> names = [] {
    std::array<PyObject*, kFieldCount> interned{};
    for (Py_ssize_t i = 0; i < kFieldCount; ++i) interned[i] = pyrt::intern(kFieldNames[i]);
    return interned;
  }();
  return names;
}

// What the registry view shares with its row helpers.
struct RegistryView {
  py::handle self;
  py::object table;
  py::object l_fields;
  py::object l_info;
};

// One registry row: the position, then the six fields of self[i]. All six
// are always given; the table builder thins columns to its l_fields.
py::list get_fields(const RegistryView& view, py::handle i) {
  py::object driver = pyrt::steal_or_throw(PyObject_GetItem(view.self.ptr(), i.ptr()));
  py::list row;
  row.append(i);
  for (PyObject* field : field_names()) row.append(pyrt::get_attr(driver, py::handle(field)));
  return row;
}

void add_rows(const RegistryView& view, py::handle range_arguments) {
  py::object positions = range_over(range_arguments);
  while (PyObject* i = PyIter_Next(positions.ptr())) {
    py::object position = py::reinterpret_steal<py::object>(i);
    pyrt::call_method(view.table, PYRT_NAME("add_row"), {get_fields(view, position)});
  }
  if (PyErr_Occurred()) pyrt::throw_current();
}

// The head rows, then (unless the tail is the empty marker (0, 0)) one row
// of "..." cells and the tail rows.
void set_items(const RegistryView& view, py::handle sel_fid_range) {
  add_rows(view, item_at(sel_fid_range, 0));
  py::object tail = item_at(sel_fid_range, 1);
  py::object empty_marker = py::make_tuple(0, 0);
  py::object differs =
      pyrt::steal_or_throw(PyObject_RichCompare(tail.ptr(), empty_marker.ptr(), Py_NE));
  if (!pyrt::truthy(differs)) return;
  py::list ellipsis_cell;
  ellipsis_cell.append(PYRT_NAME("..."));
  py::object width = pyrt::steal_or_throw(PyNumber_Add(view.l_info.ptr(), view.l_fields.ptr()));
  py::object ellipsis_row =
      pyrt::steal_or_throw(PyNumber_Multiply(ellipsis_cell.ptr(), width.ptr()));
  pyrt::call_method(view.table, PYRT_NAME("add_row"), {ellipsis_row});
  add_rows(view, tail);
}

py::object driver_repr_html(const Call& call) {
  py::handle self = call.arg(0);
  py::object gdata = call.global(PYRT_NAME("gdata"));
  py::object details = pyrt::call(pyrt::get_attr(gdata, PYRT_NAME("ORVHTMLDetails")), {});

  py::object set_base_info = pyrt::get_attr(details, PYRT_NAME("set_base_info"));
  py::object name = pyrt::get_attr(self, PYRT_NAME("name"));
  py::object category = pyrt::get_attr(self, PYRT_NAME("category"));
  py::object creatable = pyrt::get_attr(self, PYRT_NAME("creatable"));
  py::object extension = pyrt::get_attr(self, PYRT_NAME("extension"));
  pyrt::call(set_base_info, {ordered_dict({{PYRT_NAME("Name"), name},
                                           {PYRT_NAME("Category"), category},
                                           {PYRT_NAME("Creatable"), creatable},
                                           {PYRT_NAME("Extension"), extension}})});

  py::object add_details = pyrt::get_attr(details, PYRT_NAME("add_details"));
  py::object creation = pyrt::get_attr(self, PYRT_NAME("creation_options_info"));
  py::object open = pyrt::get_attr(self, PYRT_NAME("open_options_info"));
  pyrt::call(add_details, {ordered_dict({{PYRT_NAME("Creation Options"), creation},
                                         {PYRT_NAME("Open Options"), open}})});

  return pyrt::call_method(details, PYRT_NAME("to_html"), {});
}

py::object statistics_repr_html(const Call& call) {
  py::handle self = call.arg(0);
  py::object get_sel = std::move(pyrt::import_from_sibling(call.globals(), "base", {"get_sel"})[0]);
  py::object ft_count = length_of(self);
  py::object field_count = pyrt::steal_or_throw(PyLong_FromSsize_t(kFieldCount));

  py::object max_shape =
      pyrt::get_attr(call.global(PYRT_NAME("env")), PYRT_NAME("JupyterShowMaxShape"));
  auto [max_rows, max_cols] = pyrt::unpack_pair_need_more_values(max_shape);
  py::object sel_fid_range =
      pyrt::unpack_pair_need_more_values(pyrt::call(get_sel, {ft_count, max_rows})).first;
  auto [sel_fields_range, l_fields] =
      pyrt::unpack_pair_need_more_values(pyrt::call(get_sel, {field_count, max_cols}));

  RegistryView view{self, {}, l_fields, pyrt::steal_or_throw(PyLong_FromLong(1))};
  py::object gdata = call.global(PYRT_NAME("gdata"));
  view.table = pyrt::call(pyrt::get_attr(gdata, PYRT_NAME("ORVHTMLTable")),
                          {view.l_fields, view.l_info, py::int_(0), py::bool_(false)});

  py::object set_base_info = pyrt::get_attr(view.table, PYRT_NAME("set_base_info"));
  py::object rasters = length_of(pyrt::get_attr(self, PYRT_NAME("rasters")));
  py::object vectors = length_of(pyrt::get_attr(self, PYRT_NAME("vectors")));
  py::object total = length_of(self);
  pyrt::call(set_base_info, {ordered_dict({{PYRT_NAME("Rasters"), rasters},
                                           {PYRT_NAME("Vectors"), vectors},
                                           {PYRT_NAME("Total"), total}})});

  // The column selection is not used to cut cells here: see get_fields.
  (void)sel_fields_range;
  set_items(view, sel_fid_range);

  py::list header;
  header.append(PYRT_NAME(""));
  for (PyObject* field : field_names()) header.append(py::handle(field));
  pyrt::call_method(view.table, PYRT_NAME("add_head"), {header});
  return pyrt::call_method(view.table, PYRT_NAME("to_html"), {});
}

}  // namespace

const pyrt::MemberSpec kDriverReprHtml =
    pyrt::Method("_repr_html_", {"self"}, nullptr, driver_repr_html);
const pyrt::MemberSpec kStatisticsReprHtml =
    pyrt::Method("_repr_html_", {"self"}, "HTML style for Jupyter NoteBook.", statistics_repr_html);

}  // namespace orv::geo
