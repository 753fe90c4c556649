// The direct path to the GDAL library. While the module's `_gdal` is the GDAL
// binding itself and the function about to be called is still the binding's
// own, a driver-registry read goes straight to the C library the binding
// wraps, skipping the binding's argument parsing and string conversions. It
// is only enabled when the binding and this module share one GDAL library in
// the process, so a binding built against another GDAL never hands over a
// foreign pointer.
//
// Each read returns a null object when it cannot answer exactly as the
// binding would (another `_gdal`, a rebound function, a handle or key the
// binding would convert differently, a non-ASCII result); the caller then
// calls `function` as usual.
#pragma once

#include <initializer_list>

#include "geo/driver/common.hpp"

namespace orv::geo::direct {

// Checks `binding` (the `_gdal` bound at import) against the library and
// enables the direct path when both agree. Never fails: any mismatch or
// error leaves the direct path off.
void bind(py::handle binding);

// `function()` for _gdal.GetDriverCount.
py::object driver_count(py::handle binding, py::handle function);

// `function(handle)` for _gdal.Driver_ShortName_get.
py::object short_name(py::handle binding, py::handle function, py::handle handle);

// `function(handle, key)` for _gdal.MajorObject_GetMetadataItem.
py::object metadata_item(py::handle binding, py::handle function, py::handle handle,
                         py::handle key);

// Whether each of `keys`, as `function(handle, key)` gives it, upper-cased
// equals "YES" (the test of metadata_flag, with None read as ""), into
// `flags` in key order. False when the direct path cannot tell without
// converting an item; `flags` is then partly written.
bool metadata_flags(py::handle binding, py::handle function, py::handle handle,
                    std::initializer_list<py::handle> keys, bool* flags);

// True when `repr(handle)` is known to name the driver handle type without
// calling it: an untouched instance of the binding's own driver class that
// wraps a driver pointer. False means "call repr and look".
bool is_driver_proxy(py::handle handle);

}  // namespace orv::geo::direct
