// `first, second = value` in two wordings of the interpreter's ValueError
// for a wrong count; each helper is named for the message it gives.
#pragma once

#include <utility>

#include "pyrt/core.hpp"

namespace orv::pyrt {

using Pair = std::pair<py::object, py::object>;

// "not enough values to unpack (expected 2, got N)" / "too many values to
// unpack (expected 2)", the current interpreter's wording. The value is
// taken as a tuple first.
Pair unpack_pair_not_enough_values(py::handle value);

// "need more than N value(s) to unpack" / "too many values to unpack
// (expected 2)", the older wording; iterates no further than a third item.
Pair unpack_pair_need_more_values(py::handle value);

}  // namespace orv::pyrt
