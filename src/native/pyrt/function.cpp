#include "pyrt/function.hpp"

#include <structmember.h>

#include "pyrt/argerrors.hpp"
#include "pyrt/dict_cache.hpp"
#include "pyrt/module.hpp"
#include "pyrt/no_destructor.hpp"
#include "pyrt/trampoline.hpp"

namespace orv::pyrt {
namespace {

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;  // tuple, or null for no defaults
  PyObject* globals;
  PyObject* class_cell;
  PyObject* param_names;  // tuple of interned str, **kwargs name excluded
  PyObject* dict;
  PyObject* weaklist;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* function_type();

// Parameters beyond this many are bound into a heap vector.
constexpr std::size_t kInlineParams = 8;

py::object bind_and_call(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  const FunctionSpec& spec = *fn->spec;
  const Py_ssize_t nparams = PyTuple_GET_SIZE(fn->param_names);
  // Every parameter given by position: the arguments are the bound values.
  if (kwnames == nullptr && nargs == nparams && spec.varkw == nullptr) {
    return spec.impl(
        Call(reinterpret_cast<PyObject*>(fn), args, nullptr, static_cast<std::size_t>(nargs)));
  }
  PyObject* inline_slots[kInlineParams] = {};
  std::vector<PyObject*> heap_slots;
  PyObject** slots = inline_slots;
  if (static_cast<std::size_t>(nparams) > kInlineParams) {
    heap_slots.assign(static_cast<std::size_t>(nparams), nullptr);
    slots = heap_slots.data();
  }
  const Py_ssize_t npositional = nargs < nparams ? nargs : nparams;
  for (Py_ssize_t i = 0; i < npositional; ++i) slots[i] = args[i];

  py::object kwargs;
  if (spec.varkw != nullptr) kwargs = steal_or_throw(PyDict_New());

  // Keywords are bound in the order given; the first that cannot be bound
  // decides the error, as for a Python function.
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
      PyObject* value = args[nargs + k];
      if (!PyUnicode_Check(keyword)) raise_keywords_must_be_strings(fn->qualname);
      Py_ssize_t index = -1;
      for (Py_ssize_t j = 0; j < nparams; ++j) {
        if (PyTuple_GET_ITEM(fn->param_names, j) == keyword) {
          index = j;
          break;
        }
      }
      if (index < 0) {
        for (Py_ssize_t j = 0; j < nparams; ++j) {
          const int same =
              PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(fn->param_names, j), Py_EQ);
          if (same < 0) throw_current();
          if (same) {
            index = j;
            break;
          }
        }
      }
      if (index < 0) {
        if (!kwargs) raise_unexpected_keyword(fn->qualname, fn->param_names, keyword);
        if (PyDict_SetItem(kwargs.ptr(), keyword, value) < 0) throw_current();
        continue;
      }
      if (slots[index] != nullptr) raise_multiple_values(fn->qualname, keyword);
      slots[index] = value;
    }
  }

  const Py_ssize_t ndefaults = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
  if (nargs > nparams) raise_too_many_positional(fn->qualname, nparams, ndefaults, nargs);
  if (nargs < nparams) {
    const Py_ssize_t first_default = nparams - ndefaults;
    raise_if_missing(fn->qualname, fn->param_names, slots, nargs, first_default);
    for (Py_ssize_t i = first_default > nargs ? first_default : nargs; i < nparams; ++i) {
      if (slots[i] == nullptr) slots[i] = PyTuple_GET_ITEM(fn->defaults, i - first_default);
    }
  }
  // The caller holds the function and the arguments for the call; the
  // defaults tuple cannot be replaced, so its items stay alive too.
  return spec.impl(Call(reinterpret_cast<PyObject*>(fn), slots, kwargs.ptr(),
                        static_cast<std::size_t>(npositional)));
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  return guarded(
      [&] { return bind_and_call(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames); });
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* fn = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->name);
  Py_VISIT(fn->qualname);
  Py_VISIT(fn->module);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->globals);
  Py_VISIT(fn->class_cell);
  Py_VISIT(fn->param_names);
  Py_VISIT(fn->dict);
  return 0;
}

// As for a Python function, __name__ and __qualname__ become the empty
// string rather than null: a str subclass can be part of a cycle, and the
// fields are read without checks everywhere else.
int function_clear(PyObject* self) {
  FunctionObject* fn = as_function(self);
  PyObject* empty = PyUnicode_New(0, 0);  // the immortal empty string; cannot fail
  Py_SETREF(fn->name, Py_NewRef(empty));
  Py_SETREF(fn->qualname, empty);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->globals);
  Py_CLEAR(fn->class_cell);
  Py_CLEAR(fn->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  FunctionObject* fn = as_function(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (fn->weaklist != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->param_names);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Binding as a method: looked up on an instance it becomes a bound method;
// looked up on the class it is the function itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Pickled by qualified name: pickle finds the function as an attribute path
// of its module, as for a Python function.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyObject* get_str_field(PyObject** field) { return Py_NewRef(*field); }

int set_str_field(PyObject** field, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_SETREF(*field, Py_NewRef(value));
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_str_field(&as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_field(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
  return get_str_field(&as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_field(&as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_defaults(PyObject* self, void*) {
  PyObject* defaults = as_function(self)->defaults;
  return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_globals(PyObject* self, void*) {
  PyObject* globals = as_function(self)->globals;
  return Py_NewRef(globals != nullptr ? globals : Py_None);
}

// An inspect.Signature built from the parameter list and the defaults.
PyObject* get_signature(PyObject* self, void*) {
  return guarded([&]() -> py::object {
    FunctionObject* fn = as_function(self);
    py::object inspect = steal_or_throw(PyImport_ImportModule("inspect"));
    py::object parameter_type = get_attr(inspect, PYRT_NAME("Parameter"));
    py::object positional = get_attr(parameter_type, PYRT_NAME("POSITIONAL_OR_KEYWORD"));
    const Py_ssize_t nparams = PyTuple_GET_SIZE(fn->param_names);
    const Py_ssize_t ndefaults = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
    py::list parameters;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
      py::handle name(PyTuple_GET_ITEM(fn->param_names, i));
      const Py_ssize_t default_index = i - (nparams - ndefaults);
      if (default_index >= 0) {
        py::handle value(PyTuple_GET_ITEM(fn->defaults, default_index));
        parameters.append(
            call_kw(parameter_type, {name, positional}, {{PYRT_NAME("default"), value}}));
      } else {
        parameters.append(call(parameter_type, {name, positional}));
      }
    }
    if (fn->spec->varkw != nullptr) {
      py::object name = steal_or_throw(PyUnicode_FromString(fn->spec->varkw));
      parameters.append(
          call(parameter_type, {name, get_attr(parameter_type, PYRT_NAME("VAR_KEYWORD"))}));
    }
    return call(get_attr(inspect, PYRT_NAME("Signature")), {parameters});
  });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "orv.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// The type is made once per process, the first time a function is needed,
// and lives until the process ends (functions may outlive any module).
PyObject* function_type() {
  static NoDestructor<py::object> type;
  if (!*type) *type = steal_or_throw(PyType_FromSpec(&function_type_spec));
  return type->ptr();
}

}  // namespace

py::object lookup_global(py::handle globals, py::handle name) {
  if (PyObject* cached = dict_cache_get(globals.ptr(), name.ptr())) {
    return py::reinterpret_borrow<py::object>(cached);
  }
  PyObject* found = nullptr;
  py::object value = steal_found(PyDict_GetItemRef(globals.ptr(), name.ptr(), &found), found);
  if (value) {
    dict_cache_put(globals.ptr(), name.ptr(), value.ptr(), globals.ptr());
    return value;
  }
  Builtin builtin = find_builtin(name);
  dict_cache_put(globals.ptr(), name.ptr(), builtin.value.ptr(), builtin.builtins.ptr());
  return std::move(builtin.value);
}

// The collector clears a function caught in a reference cycle; a finalizer
// may still call it, and then it has no namespace left to look in.
static PyObject* globals_of(PyObject* function) {
  PyObject* globals = as_function(function)->globals;
  if (globals == nullptr) raise(PyExc_SystemError, "function globals were cleared");
  return globals;
}

void raise_package_error(const Call& call, py::handle class_name,
                         std::initializer_list<py::handle> args,
                         std::initializer_list<std::pair<py::handle, py::handle>> kwargs) {
  py::object error_class = get_attr(call.global(PYRT_NAME("error")), class_name);
  raise_object(call_kw(error_class, args, kwargs));
}

py::object Call::global(py::handle name) const {
  return lookup_global(py::handle(globals_of(function_)), name);
}

py::handle Call::globals() const { return py::handle(globals_of(function_)); }

py::object Call::class_cell() const {
  PyObject* cell = as_function(function_)->class_cell;
  if (cell == nullptr) raise(PyExc_SystemError, "function has no enclosing class");
  PyObject* cls = PyCell_Get(cell);
  if (cls == nullptr) throw_current();
  if (cls == Py_None || !PyType_Check(cls)) {
    Py_DECREF(cls);
    raise(PyExc_RuntimeError, "super(): empty __class__ cell");
  }
  return py::reinterpret_steal<py::object>(cls);
}

py::object make_function(const FunctionSpec& spec, py::handle globals, const char* qualname_prefix,
                         py::handle defaults, py::handle class_cell) {
  PyObject* type = function_type();
  py::object param_names = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    PyTuple_SET_ITEM(param_names.ptr(), static_cast<Py_ssize_t>(i),
                     Py_NewRef(intern(spec.params[i])));
  }
  py::object name = py::reinterpret_borrow<py::object>(intern(spec.name));
  py::object qualname = name;
  if (qualname_prefix != nullptr && qualname_prefix[0] != '\0') {
    qualname = steal_or_throw(PyUnicode_FromFormat("%s.%s", qualname_prefix, spec.name));
  }
  py::object doc = py::none();
  if (spec.doc != nullptr) doc = steal_or_throw(PyUnicode_FromString(spec.doc));
  // __module__ comes from the defining module's __name__, as for def.
  PyObject* module_name = nullptr;
  py::object module = steal_found(
      PyDict_GetItemRef(globals.ptr(), PYRT_NAME("__name__").ptr(), &module_name), module_name);
  if (!module) module = py::none();

  py::object result = steal_or_throw(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
  // Nothing below can fail: every field is set before the object is seen.
  FunctionObject* fn = as_function(result.ptr());
  fn->vectorcall = function_vectorcall;
  fn->spec = &spec;
  fn->name = name.release().ptr();
  fn->qualname = qualname.release().ptr();
  fn->module = module.release().ptr();
  fn->doc = doc.release().ptr();
  fn->defaults = defaults ? Py_NewRef(defaults.ptr()) : nullptr;
  fn->globals = Py_NewRef(globals.ptr());
  fn->class_cell = class_cell ? Py_NewRef(class_cell.ptr()) : nullptr;
  fn->param_names = param_names.release().ptr();
  return result;
}

}  // namespace orv::pyrt
