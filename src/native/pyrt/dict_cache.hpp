// A cache of name lookups in dicts that change rarely: module globals, the
// builtins and the namespaces of service modules. Members look those names up
// at every call; a dict watcher empties the cache before any watched dict
// changes, so a rebound name is seen by the next call while an unchanged one
// costs a few comparisons.
#pragma once

#include <Python.h>

namespace orv::pyrt {

// The value cached for `name` (an interned str) looked up through `dict`, or
// null. Borrowed: valid until the next change of a watched dict.
PyObject* dict_cache_get(PyObject* dict, PyObject* name);

// Remembers that looking up `name` through `dict` gives `value`, which
// `holder` (`dict` itself, or the builtins behind module globals) holds.
// Names that are not immortal are not cached.
// Starts watching both dicts; without a free watcher nothing is cached.
void dict_cache_put(PyObject* dict, PyObject* name, PyObject* value, PyObject* holder);

}  // namespace orv::pyrt
