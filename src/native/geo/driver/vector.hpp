// Members of VectorDriver: the vector capability check, creation of empty
// vector datasets and the vector capability properties.
#pragma once

#include "geo/driver/common.hpp"

namespace orv::geo {

py::object vector_init(const Call& call);
py::object vector_create_dataset(const Call& call);
py::object vector_category(const Call& call);
py::object vector_create(const Call& call);
py::object creation_ftypes(const Call& call);
py::object dimension(const Call& call);
py::object multi_layers(const Call& call);
py::object sql_dialects(const Call& call);
py::object vector_transformable(const Call& call);

}  // namespace orv::geo
