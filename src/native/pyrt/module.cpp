#include "pyrt/module.hpp"

#include "pyrt/no_destructor.hpp"
#include "pyrt/trampoline.hpp"

namespace orv::pyrt {
namespace {

// Process-wide facts of this module (each extension links its own copy of
// the runtime): the interpreter that first created it and the one module
// object that has been executed. Both live for the rest of the process.
const ModuleSpec* g_spec = nullptr;
int64_t g_interpreter = -1;
NoDestructor<py::object> g_executed;

PyObject* module_create(PyObject* spec, PyModuleDef*) {
  return guarded([&]() -> py::object {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) throw_current();
    if (g_interpreter == -1) {
      g_interpreter = current;
    } else if (current != g_interpreter) {
      raise(PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter "
            "per process.");
    }
    if (*g_executed) return *g_executed;
    py::object name = get_attr(py::handle(spec), PYRT_NAME("name"));
    return steal_or_throw(PyModule_NewObject(name.ptr()));
  });
}

int module_exec(PyObject* module) {
  return guarded_status([&] {
    if (*g_executed) {
      if (g_executed->ptr() == module) return;
      raise(PyExc_RuntimeError,
            "Module '%s' has already been imported. Re-initialisation is not supported.",
            g_spec->short_name);
    }
    py::handle globals(PyModule_GetDict(module));
    if (!globals) throw_current();
    if (g_spec->doc != nullptr) {
      py::object doc = steal_or_throw(PyUnicode_FromString(g_spec->doc));
      if (PyDict_SetItem(globals.ptr(), PYRT_NAME("__doc__").ptr(), doc.ptr()) < 0) throw_current();
    }
    g_spec->exec(py::handle(module), globals);
    *g_executed = py::reinterpret_borrow<py::object>(module);
  });
}

// Per-interpreter GIL support is declared so that the interpreter does not
// refuse a subinterpreter itself: the create step answers with its own
// message, whatever the subinterpreter's configuration.
PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

py::object import_name_from(py::handle module, py::handle name) {
  // An attribute that raises AttributeError counts as absent.
  PyObject* value = nullptr;
  const int found = PyObject_GetOptionalAttr(module.ptr(), name.ptr(), &value);
  if (found < 0 && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
  } else if (py::object attribute = steal_found(found, value)) {
    return attribute;
  }
  // The submodule of that name, when the import system has loaded it.
  PyObject* module_name =
      PyModule_Check(module.ptr()) ? PyModule_GetNameObject(module.ptr()) : nullptr;
  if (module_name != nullptr) {
    py::object owner = py::reinterpret_steal<py::object>(module_name);
    py::object full = steal_or_throw(PyUnicode_FromFormat("%U.%U", module_name, name.ptr()));
    PyObject* submodule = PyImport_GetModule(full.ptr());
    if (submodule != nullptr) return py::reinterpret_steal<py::object>(submodule);
    if (PyErr_Occurred()) throw_current();
  } else {
    PyErr_Clear();
  }
  raise(PyExc_ImportError, "cannot import name %S", name.ptr());
}

}  // namespace

PyObject* module_init(const ModuleSpec& spec) {
  g_spec = &spec;
  g_def.m_name = spec.short_name;
  return PyModuleDef_Init(&g_def);
}

std::vector<py::object> import_from_sibling(py::handle globals, const char* module,
                                            std::initializer_list<const char*> names) {
  py::object fromlist = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* name : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, Py_NewRef(intern(name)));
  py::handle module_name(intern(module));
  py::object imported = steal_or_throw(PyImport_ImportModuleLevelObject(
      module_name.ptr(), globals.ptr(), nullptr, fromlist.ptr(), 1));
  std::vector<py::object> values;
  values.reserve(names.size());
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(fromlist.ptr()); ++k) {
    values.push_back(import_name_from(imported, py::handle(PyTuple_GET_ITEM(fromlist.ptr(), k))));
  }
  return values;
}

void set_global(py::handle globals, const char* name, py::handle value) {
  if (PyDict_SetItem(globals.ptr(), intern(name), value.ptr()) < 0) throw_current();
}

std::vector<py::object> bind_services(py::handle globals, const char* module,
                                      std::initializer_list<const char*> names) {
  std::vector<py::object> services = import_from_sibling(globals, module, names);
  std::size_t i = 0;
  for (const char* name : names) set_global(globals, name, services[i++]);
  return services;
}

Builtin find_builtin(py::handle name) {
  Builtin found{steal_or_throw(PyEval_GetFrameBuiltins()), {}};
  PyObject* value = nullptr;
  found.value =
      steal_found(PyMapping_GetOptionalItem(found.builtins.ptr(), name.ptr(), &value), value);
  if (!found.value) raise(PyExc_NameError, "name '%U' is not defined", name.ptr());
  return found;
}

py::object builtin(const char* name) { return find_builtin(py::handle(intern(name))).value; }

}  // namespace orv::pyrt
