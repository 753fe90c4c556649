#include "pyrt/classdef.hpp"

namespace orv::pyrt {

py::object make_class(const ClassSpec& spec, py::handle globals, py::handle property) {
  py::object types = steal_or_throw(PyImport_ImportModule("types"));
  py::object orig_bases = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(spec.bases.size())));
  for (std::size_t i = 0; i < spec.bases.size(); ++i) {
    py::object base = lookup_global(globals, py::handle(intern(spec.bases[i])));
    PyTuple_SET_ITEM(orig_bases.ptr(), static_cast<Py_ssize_t>(i), base.release().ptr());
  }
  py::object bases = call(get_attr(types, PYRT_NAME("resolve_bases")), {orig_bases});
  py::object name = steal_or_throw(PyUnicode_FromString(spec.name));
  py::object prepared = call(get_attr(types, PYRT_NAME("prepare_class")), {name, bases});
  py::object metaclass = steal_or_throw(PySequence_GetItem(prepared.ptr(), 0));
  py::object namespace_ = steal_or_throw(PySequence_GetItem(prepared.ptr(), 1));
  py::object keywords = steal_or_throw(PySequence_GetItem(prepared.ptr(), 2));

  auto set = [&](py::handle key, py::handle value) {
    if (PyObject_SetItem(namespace_.ptr(), key.ptr(), value.ptr()) < 0) throw_current();
  };
  py::object module_name = lookup_global(globals, PYRT_NAME("__name__"));
  set(PYRT_NAME("__module__"), module_name);
  set(PYRT_NAME("__qualname__"), name);
  if (spec.doc != nullptr) {
    set(PYRT_NAME("__doc__"), steal_or_throw(PyUnicode_FromString(spec.doc)));
  }

  py::object cell;
  if (spec.needs_class_cell) cell = steal_or_throw(PyCell_New(nullptr));

  for (const MemberSpec& member : spec.members) {
    py::object defaults;
    if (member.make_defaults != nullptr) defaults = member.make_defaults();
    py::object function = make_function(member.function, globals, spec.name, defaults, cell);
    if (member.kind == MemberSpec::Kind::kProperty) function = call(property, {function});
    set(py::handle(intern(member.function.name)), function);
  }
  if (bases.ptr() != orig_bases.ptr()) set(PYRT_NAME("__orig_bases__"), orig_bases);
  if (cell) set(PYRT_NAME("__classcell__"), cell);

  py::object cls = steal_or_throw(PyObject_Call(
      metaclass.ptr(), py::make_tuple(name, bases, namespace_).ptr(), keywords.ptr()));
  if (cell) {
    PyObject* filled = PyCell_Get(cell.ptr());
    if (filled == nullptr) throw_current();
    py::object owner = py::reinterpret_steal<py::object>(filled);
    if (filled != cls.ptr()) {
      raise(PyExc_RuntimeError,
            "__class__ not set defining %R as %R. Was __classcell__ propagated to type.__new__?",
            name.ptr(), cls.ptr());
    }
  }
  return cls;
}

}  // namespace orv::pyrt
