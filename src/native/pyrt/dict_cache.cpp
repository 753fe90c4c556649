#include "pyrt/dict_cache.hpp"

#include <array>
#include <cstdint>

#include "pyrt/cpython_private.hpp"
#include "pyrt/no_destructor.hpp"

namespace orv::pyrt {
namespace {

// Direct-mapped on the (dict, name) pair; a collision just replaces.
constexpr std::size_t kSlots = 128;

struct Entry {
  PyObject* dict = nullptr;
  PyObject* name = nullptr;
  PyObject* value = nullptr;  // borrowed from a watched dict
};

struct Cache {
  int watcher = -1;  // -1: not yet asked for; -2: none was free
  std::array<Entry, kSlots> entries{};
};

Cache& cache() {
  static NoDestructor<Cache> instance;
  return *instance;
}

std::size_t slot_of(PyObject* dict, PyObject* name) {
  const auto key =
      reinterpret_cast<std::uintptr_t>(dict) ^ (reinterpret_cast<std::uintptr_t>(name) >> 4);
  return (key ^ (key >> 9)) % kSlots;
}

// Runs before every change of a watched dict (and its deallocation); must
// not fail. Every borrowed value may be affected, so all are dropped.
int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  cache().entries.fill(Entry{});
  return 0;
}

bool watch(Cache& c, PyObject* dict) {
  if (c.watcher == -1) {
    c.watcher = PyDict_AddWatcher(on_change);
    if (c.watcher < 0) {
      PyErr_Clear();
      c.watcher = -2;
    }
  }
  if (c.watcher < 0) return false;
  if (PyDict_Watch(c.watcher, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

}  // namespace

PyObject* dict_cache_get(PyObject* dict, PyObject* name) {
  const Entry& entry = cache().entries[slot_of(dict, name)];
  return entry.dict == dict && entry.name == name ? entry.value : nullptr;
}

void dict_cache_put(PyObject* dict, PyObject* name, PyObject* value, PyObject* holder) {
  Cache& c = cache();
  // Entries are keyed by pointers: only names that live for the whole
  // process (immortal, as interned names of the runtime are) may be keys.
  if (!cpython_private::is_immortal(name)) return;
  if (!PyDict_CheckExact(dict) || !PyDict_CheckExact(holder)) return;
  if (!watch(c, dict) || (holder != dict && !watch(c, holder))) return;
  c.entries[slot_of(dict, name)] = Entry{dict, name, value};
}

}  // namespace orv::pyrt
