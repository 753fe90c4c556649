#include "geo/driver/gdal_direct.hpp"

#include <cpl_error.h>
#include <gdal.h>

#include <cstring>
#include <optional>

#include "pyrt/no_destructor.hpp"

namespace orv::geo::direct {
namespace {

constexpr const char* kShadowMarker = "GDALDriverShadow *";

// The head of the binding's pointer object: the C pointer and the type
// record that names its C type. Only read after the import check has seen
// this layout give the pointer the object itself reports.
struct PointerObject {
  PyObject_HEAD void* ptr;
  void* type_record;
};

enum Fn : std::size_t { kGetDriverCount, kGetDriver, kShortName, kMetadataItem, kFnCount };
constexpr const char* kFnNames[kFnCount] = {"GetDriverCount", "GetDriver", "Driver_ShortName_get",
                                            "MajorObject_GetMetadataItem"};

struct State {
  bool enabled = false;
  py::object binding;
  py::object functions[kFnCount];
  PyTypeObject* pointer_type = nullptr;  // the binding's pointer object type
  void* driver_record = nullptr;         // its type record for driver handles
  py::object proxy_type;                 // the binding's driver class
  unsigned int proxy_version = 0;        // that class's version tag at import
};

State& state() {
  static pyrt::NoDestructor<State> instance;
  return *instance;
}

bool is_own(const State& s, py::handle binding, py::handle function, Fn fn) {
  return s.enabled && binding.ptr() == s.binding.ptr() && function.ptr() == s.functions[fn].ptr();
}

// The instance dict (new reference) of an instance of the unchanged driver
// class of the binding, or null; with `plain_repr` also null when the
// instance overrides __repr__.
PyObject* proxy_dict(const State& s, PyObject* obj, bool plain_repr) {
  auto* type = reinterpret_cast<PyTypeObject*>(s.proxy_type.ptr());
  if (Py_TYPE(obj) != type || type->tp_version_tag != s.proxy_version) return nullptr;
  PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
  if (dict == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  if (!plain_repr) return dict;
  const int overridden = PyDict_Contains(dict, PYRT_NAME("__repr__").ptr());
  if (overridden != 0) {
    if (overridden < 0) PyErr_Clear();
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// The driver pointer of a pointer object of the binding, or null.
void* pointer_of(const State& s, PyObject* obj) {
  if (obj == nullptr || Py_TYPE(obj) != s.pointer_type) return nullptr;
  auto* pointer = reinterpret_cast<PointerObject*>(obj);
  return pointer->type_record == s.driver_record ? pointer->ptr : nullptr;
}

// The driver pointer held as `this` by an instance of the binding's driver
// class (with `plain_repr`, one that keeps the class's __repr__), or null.
void* proxy_pointer(const State& s, PyObject* obj, bool plain_repr) {
  PyObject* dict = proxy_dict(s, obj, plain_repr);
  if (dict == nullptr) return nullptr;
  py::object owner = py::reinterpret_steal<py::object>(dict);
  PyObject* inner = PyDict_GetItemWithError(dict, PYRT_NAME("this").ptr());
  if (inner == nullptr) PyErr_Clear();
  return pointer_of(s, inner);
}

// The driver pointer a handle carries when the binding would read it the
// same way: its own pointer object, or its driver class holding one (the
// binding reads `this` whatever the instance's __repr__).
GDALDriverH driver_of(const State& s, py::handle handle) {
  PyObject* obj = handle.ptr();
  if (Py_TYPE(obj) == s.pointer_type) return pointer_of(s, obj);
  return proxy_pointer(s, obj, false);
}

// A C string as the binding gives it: None for null, str for ASCII. Other
// text goes through the binding (null object).
py::object text_or_none(const char* text) {
  if (text == nullptr) return py::none();
  std::size_t size = 0;
  for (; text[size] != '\0'; ++size) {
    if (static_cast<unsigned char>(text[size]) > 0x7f) return py::object();
  }
  // Empty and one-letter texts come from the interpreter's shared strings.
  if (size < 2) {
    return pyrt::steal_or_throw(
        PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(size), nullptr));
  }
  py::object result = pyrt::steal_or_throw(PyUnicode_New(static_cast<Py_ssize_t>(size), 0x7f));
  std::memcpy(PyUnicode_DATA(result.ptr()), text, size);
  return result;
}

// A binding that raises GDAL errors as exceptions clears the pending error
// before each call; leave the library's error state as it would.
void settle_error_state(const State& s) {
  if (CPLGetLastErrorType() == CE_None) return;
  py::object uses = pyrt::call(pyrt::get_attr(s.binding, PYRT_NAME("GetUseExceptions")), {});
  if (pyrt::truthy(uses)) CPLErrorReset();
}

// The import check. Throws on Python errors; returns without enabling on
// any mismatch.
void check_and_enable(State& s, py::handle binding) {
  PyObject* registered = PyImport_GetModule(PYRT_NAME("osgeo._gdal").ptr());
  if (registered == nullptr) return;
  py::object owner = py::reinterpret_steal<py::object>(registered);
  if (registered != binding.ptr()) return;

  py::object functions[kFnCount];
  for (std::size_t i = 0; i < kFnCount; ++i) {
    functions[i] = pyrt::get_attr(binding, py::handle(pyrt::intern(kFnNames[i])));
    if (!PyCFunction_Check(functions[i].ptr())) return;
  }
  const int count = GDALGetDriverCount();
  py::object bound_count = pyrt::call(functions[kGetDriverCount], {});
  if (count <= 0 || !pyrt::equals(bound_count, py::int_(count))) return;

  // Driver 0 as the binding hands it out: its class, the pointer object it
  // holds as `this` and the pointer that object carries.
  py::object proxy = pyrt::call(functions[kGetDriver], {py::int_(0)});
  py::handle proxy_type(reinterpret_cast<PyObject*>(Py_TYPE(proxy.ptr())));
  auto* type = reinterpret_cast<PyTypeObject*>(proxy_type.ptr());
  if (_PyType_Lookup(type, PYRT_NAME("this").ptr()) != nullptr) return;
  py::object dict = pyrt::steal_or_throw(PyObject_GenericGetDict(proxy.ptr(), nullptr));
  PyObject* inner = PyDict_GetItemWithError(dict.ptr(), PYRT_NAME("this").ptr());
  if (inner == nullptr) {
    if (PyErr_Occurred()) pyrt::throw_current();
    return;
  }
  PyTypeObject* pointer_type = Py_TYPE(inner);
  if (std::strcmp(pointer_type->tp_name, "SwigPyObject") != 0 ||
      pointer_type->tp_basicsize < static_cast<Py_ssize_t>(sizeof(PointerObject)) ||
      PyType_HasFeature(pointer_type, Py_TPFLAGS_HAVE_GC)) {
    return;
  }
  py::object reported = pyrt::steal_or_throw(PyNumber_Long(inner));
  void* reported_ptr = PyLong_AsVoidPtr(reported.ptr());
  if (reported_ptr == nullptr && PyErr_Occurred()) pyrt::throw_current();
  auto* pointer = reinterpret_cast<PointerObject*>(inner);
  // The one-library check: the binding's driver 0 is this library's.
  if (reported_ptr != pointer->ptr || pointer->ptr != GDALGetDriver(0)) return;
  py::object text = pyrt::call_method(proxy, PYRT_NAME("__repr__"), {});
  if (!pyrt::contains(text, PYRT_NAME(kShadowMarker))) return;
  if (!PyUnstable_Type_AssignVersionTag(type)) return;

  s.binding = py::reinterpret_borrow<py::object>(binding);
  for (std::size_t i = 0; i < kFnCount; ++i) s.functions[i] = std::move(functions[i]);
  s.pointer_type = pointer_type;
  s.driver_record = pointer->type_record;
  s.proxy_type = py::reinterpret_borrow<py::object>(proxy_type);
  s.proxy_version = type->tp_version_tag;
  s.enabled = true;
}

}  // namespace

void bind(py::handle binding) {
  State& s = state();
  s.enabled = false;
  try {
    check_and_enable(s, binding);
  } catch (py::error_already_set&) {
    // The error was taken over by the exception object: nothing is pending.
    s.enabled = false;
  }
}

py::object driver_count(py::handle binding, py::handle function) {
  const State& s = state();
  if (!is_own(s, binding, function, kGetDriverCount)) return py::object();
  py::object count = pyrt::steal_or_throw(PyLong_FromLong(GDALGetDriverCount()));
  settle_error_state(s);
  return count;
}

py::object short_name(py::handle binding, py::handle function, py::handle handle) {
  const State& s = state();
  if (!is_own(s, binding, function, kShortName)) return py::object();
  GDALDriverH driver = driver_of(s, handle);
  if (driver == nullptr) return py::object();
  py::object name = text_or_none(GDALGetDriverShortName(driver));
  if (name) settle_error_state(s);
  return name;
}

namespace {

// The driver `function(handle, ...)` reads when the direct path can stand in
// for the call, or null.
GDALDriverH metadata_driver(const State& s, py::handle binding, py::handle function,
                            py::handle handle) {
  if (!is_own(s, binding, function, kMetadataItem)) return nullptr;
  return driver_of(s, handle);
}

// The item (the library's own C string, possibly null) for a key the binding
// reads as the same C string, an ASCII str without NUL; nothing for others.
std::optional<const char*> read_item(GDALDriverH driver, py::handle key) {
  PyObject* name = key.ptr();
  if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_ASCII(name)) return std::nullopt;
  const char* text = reinterpret_cast<const char*>(PyUnicode_DATA(name));
  if (std::strlen(text) != static_cast<std::size_t>(PyUnicode_GET_LENGTH(name))) {
    return std::nullopt;
  }
  return GDALGetMetadataItem(driver, text, "");
}

bool is_ascii(const char* text) {
  for (; *text != '\0'; ++text) {
    if (static_cast<unsigned char>(*text) > 0x7f) return false;
  }
  return true;
}

}  // namespace

py::object metadata_item(py::handle binding, py::handle function, py::handle handle,
                         py::handle key) {
  const State& s = state();
  GDALDriverH driver = metadata_driver(s, binding, function, handle);
  if (driver == nullptr) return py::object();
  const std::optional<const char*> text = read_item(driver, key);
  if (!text) return py::object();
  py::object value = text_or_none(*text);
  if (value) settle_error_state(s);
  return value;
}

bool metadata_flags(py::handle binding, py::handle function, py::handle handle,
                    std::initializer_list<py::handle> keys, bool* flags) {
  const State& s = state();
  GDALDriverH driver = metadata_driver(s, binding, function, handle);
  if (driver == nullptr) return false;
  for (py::handle key : keys) {
    const std::optional<const char*> text = read_item(driver, key);
    if (!text) return false;
    const char* item = *text;
    if (item != nullptr && !is_ascii(item)) return false;
    // An absent item reads as "", which is no "YES" in any case.
    *flags++ = item != nullptr && ascii_yes(item, std::strlen(item));
  }
  // Item reads leave no error of their own: settling once after them leaves
  // the state each binding call in turn would.
  settle_error_state(s);
  return true;
}

bool is_driver_proxy(py::handle handle) {
  const State& s = state();
  return s.enabled && proxy_pointer(s, handle.ptr(), true) != nullptr;
}

}  // namespace orv::geo::direct
