#include "pyrt/argerrors.hpp"

#include <vector>

#include "pyrt/cpython_private.hpp"

namespace orv::pyrt {

void raise_keywords_must_be_strings(PyObject* qualname) {
  raise(PyExc_TypeError, "%U() keywords must be strings", qualname);
}

void raise_unexpected_keyword(PyObject* qualname, PyObject* param_names, PyObject* keyword) {
  // The closest parameter name, as the interpreter would suggest it.
  py::object suggestion =
      cpython_private::suggest_name(py::handle(param_names), py::handle(keyword));
  if (!suggestion.is_none()) {
    raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
          qualname, keyword, suggestion.ptr());
  }
  raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname, keyword);
}

void raise_multiple_values(PyObject* qualname, PyObject* keyword) {
  raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname, keyword);
}

void raise_too_many_positional(PyObject* qualname, Py_ssize_t nparams, Py_ssize_t ndefaults,
                               Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (ndefaults > 0) {
    raise(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given",
          qualname, nparams - ndefaults, nparams, given, verb);
  }
  raise(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", qualname, nparams,
        nparams == 1 ? "" : "s", given, verb);
}

void raise_if_missing(PyObject* qualname, PyObject* param_names, PyObject* const* slots,
                      Py_ssize_t nargs, Py_ssize_t first_default) {
  std::vector<py::object> missing;
  for (Py_ssize_t i = nargs; i < first_default; ++i) {
    if (slots[i] == nullptr) {
      missing.push_back(steal_or_throw(PyObject_Repr(PyTuple_GET_ITEM(param_names, i))));
    }
  }
  if (missing.empty()) return;
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  py::object names;
  const std::size_t count = missing.size();
  if (count == 1) {
    names = missing[0];
  } else if (count == 2) {
    names = steal_or_throw(PyUnicode_FromFormat("%U and %U", missing[0].ptr(), missing[1].ptr()));
  } else {
    names = missing[0];
    for (std::size_t i = 1; i + 1 < count; ++i) {
      names = steal_or_throw(PyUnicode_FromFormat("%U, %U", names.ptr(), missing[i].ptr()));
    }
    names =
        steal_or_throw(PyUnicode_FromFormat("%U, and %U", names.ptr(), missing[count - 1].ptr()));
  }
  raise(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", qualname,
        static_cast<Py_ssize_t>(count), count == 1 ? "" : "s", names.ptr());
}

}  // namespace orv::pyrt
