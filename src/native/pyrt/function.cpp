#include "pyrt/function.hpp"

#include <structmember.h>

#include <cstring>

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

py::object own_method(py::handle self, py::handle name, Impl impl) {
  PyTypeObject* type = Py_TYPE(self.ptr());
  if (type->tp_getattro != PyObject_GenericGetAttr) return py::object();
  PyObject* found = _PyType_Lookup(type, name.ptr());
  if (found == nullptr || Py_TYPE(found) != reinterpret_cast<PyTypeObject*>(function_type()) ||
      as_function(found)->spec->impl != impl) {
    return py::object();
  }
  py::object function = py::reinterpret_borrow<py::object>(found);
  if (type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
    PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (dict == nullptr) {
      PyErr_Clear();
      return py::object();
    }
    const int shadowed = PyDict_Contains(dict, name.ptr());
    Py_DECREF(dict);
    if (shadowed != 0) {
      if (shadowed < 0) PyErr_Clear();
      return py::object();
    }
  }
  return function;
}

namespace {

// CPython keeps a property's getter in the first field after the object
// head; read there only after a property made for the purpose showed it.
struct PropertyHead {
  PyObject_HEAD PyObject* getter;
};

bool property_layout_checked() {
  PyObject* probe = PyEval_GetBuiltins();
  PyObject* len = probe != nullptr ? PyDict_GetItemString(probe, "len") : nullptr;
  if (len == nullptr) return false;
  PyObject* made = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), len);
  if (made == nullptr) {
    PyErr_Clear();
    return false;
  }
  PyObject* fget = PyObject_GetAttrString(made, "fget");
  const bool same = fget == len && reinterpret_cast<PropertyHead*>(made)->getter == len &&
                    PyProperty_Type.tp_basicsize >= static_cast<Py_ssize_t>(sizeof(PropertyHead));
  if (fget == nullptr) PyErr_Clear();
  Py_XDECREF(fget);
  Py_DECREF(made);
  return same;
}

// The getter of a property object when it is one of these functions, or null.
PyObject* own_property_getter(PyObject* descr) {
  static const bool readable = property_layout_checked();
  if (!readable || Py_TYPE(descr) != &PyProperty_Type) return nullptr;
  PyObject* getter = reinterpret_cast<PropertyHead*>(descr)->getter;
  if (getter == nullptr || Py_TYPE(getter) != reinterpret_cast<PyTypeObject*>(function_type())) {
    return nullptr;
  }
  return getter;
}

// The getter (borrowed) of the property the standard lookup of `self.<name>`
// finds on the class, when it is one of these functions; null otherwise. A
// property is a data descriptor: the instance cannot shadow it.
PyObject* own_getter_of(py::handle self, py::handle name) {
  PyTypeObject* type = Py_TYPE(self.ptr());
  if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
  PyObject* found = _PyType_Lookup(type, name.ptr());
  return found != nullptr ? own_property_getter(found) : nullptr;
}

}  // namespace

py::object own_property(py::handle self, py::handle name, Impl impl) {
  PyObject* getter = own_getter_of(self, name);
  if (getter == nullptr || as_function(getter)->spec->impl != impl) return py::object();
  return py::reinterpret_borrow<py::object>(getter);
}

py::object get_attr_own(py::handle self, py::handle name) {
  if (PyObject* getter = own_getter_of(self, name)) {
    return call_body(py::reinterpret_borrow<py::object>(getter), {self});
  }
  return get_attr(self, name);
}

namespace {

// The body of `function` with `n` arguments bound by position, or null when
// they do not bind that simply.
py::object run_body(PyObject* function, PyObject* const* slots, std::size_t n) {
  FunctionObject* fn = as_function(function);
  if (static_cast<std::size_t>(PyTuple_GET_SIZE(fn->param_names)) != n || fn->spec->varkw) {
    return py::object();
  }
  // The same exceptions as through the trampoline: Python errors as they
  // are, anything else as the trampoline would restore it.
  try {
    return fn->spec->impl(Call(function, slots, nullptr, n));
  } catch (py::error_already_set&) {
    throw;
  } catch (...) {
    restore_current_exception();
    throw_current();
  }
}

// The tp_init the interpreter gives a class whose body defines __init__
// (the slot that looks __init__ up and calls it), read off a probe class.
initproc init_slot() {
  static const initproc slot = []() -> initproc {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* len = builtins != nullptr ? PyDict_GetItemString(builtins, "len") : nullptr;
    if (len == nullptr) return nullptr;
    PyObject* probe = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(){sO}",
                                            "probe", "__init__", len);
    if (probe == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    const initproc found = reinterpret_cast<PyTypeObject*>(probe)->tp_init;
    Py_DECREF(probe);
    return found;
  }();
  return slot;
}

}  // namespace

py::object call_body(py::handle function, std::initializer_list<py::handle> args) {
  PyObject* slots[kInlineParams];
  if (args.size() > kInlineParams) return call(function, args);
  std::size_t n = 0;
  for (py::handle arg : args) slots[n++] = arg.ptr();
  if (py::object result = run_body(function.ptr(), slots, n)) return result;
  return call(function, args);
}

py::object make_instance(py::handle cls, std::initializer_list<py::handle> args) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  if (!Py_IS_TYPE(cls.ptr(), &PyType_Type) || args.size() + 1 > kInlineParams ||
      type->tp_new != PyBaseObject_Type.tp_new || type->tp_init == nullptr ||
      type->tp_init != init_slot()) {
    return call(cls, args);
  }
  PyObject* init = _PyType_Lookup(type, PYRT_NAME("__init__").ptr());
  if (init == nullptr || Py_TYPE(init) != reinterpret_cast<PyTypeObject*>(function_type()) ||
      static_cast<std::size_t>(PyTuple_GET_SIZE(as_function(init)->param_names)) !=
          args.size() + 1 ||
      as_function(init)->spec->varkw != nullptr) {
    return call(cls, args);
  }
  py::object body = py::reinterpret_borrow<py::object>(init);
  py::object arguments = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  PyObject* slots[kInlineParams];
  std::size_t n = 1;
  for (py::handle arg : args) {
    PyTuple_SET_ITEM(arguments.ptr(), static_cast<Py_ssize_t>(n - 1), Py_NewRef(arg.ptr()));
    slots[n++] = arg.ptr();
  }
  // As type.__call__: object.__new__ makes the instance (it accepts the
  // arguments because __init__ is overridden), then __init__ runs and must
  // give None.
  py::object instance = steal_or_throw(type->tp_new(type, arguments.ptr(), nullptr));
  if (!PyObject_TypeCheck(instance.ptr(), type)) return instance;
  slots[0] = instance.ptr();
  py::object result = run_body(body.ptr(), slots, n);
  if (!result.is_none()) {
    raise(PyExc_TypeError, "__init__() should return None, not '%.200s'",
          Py_TYPE(result.ptr())->tp_name);
  }
  return instance;
}

py::object call_direct(py::handle callable, std::initializer_list<py::handle> args) {
  if (Py_TYPE(callable.ptr()) == reinterpret_cast<PyTypeObject*>(function_type())) {
    return call_body(callable, args);
  }
  return call(callable, args);
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
