#include "krige/core/pair_sources.hpp"

#include "pyrt/no_destructor.hpp"

namespace orv::krige {
namespace {

// SciPy's own pdist, remembered once so that a replacement bound later in
// SciPy's module is not taken for it; likewise the package's own distance
// service.
pyrt::NoDestructor<py::object> g_scipy_pdist;
pyrt::NoDestructor<py::object> g_great_circle_service;

bool is_scipy_pdist(py::handle pdist) {
  if (!*g_scipy_pdist) remember_scipy_pdist();
  return *g_scipy_pdist && g_scipy_pdist->ptr() == pdist.ptr();
}

py::object slice_to_zero() {
  return pyrt::steal_or_throw(PySlice_New(nullptr, to_int(0).ptr(), nullptr));
}

py::object all_of_axis() { return pyrt::steal_or_throw(PySlice_New(nullptr, nullptr, nullptr)); }

// values[None, :] and values[:, None], as the user's object answers them.
py::object row_of(py::handle values) {
  return pyrt::get_item(values, py::make_tuple(py::none(), all_of_axis()));
}
py::object column_of(py::handle values) {
  return pyrt::get_item(values, py::make_tuple(all_of_axis(), py::none()));
}

// 0.5 * (row - column) ** 2.0 on empty slices of both: numpy raises its own
// error for values it cannot subtract or square (booleans, text, dates) at
// no cost, and the result type tells whether the values are real numbers.
void check_value_arithmetic(py::handle row, py::handle column) {
  py::object row_part = pyrt::get_item(row, py::make_tuple(all_of_axis(), slice_to_zero()));
  py::object column_part = pyrt::get_item(column, slice_to_zero());
  py::object difference =
      pyrt::steal_or_throw(PyNumber_Subtract(row_part.ptr(), column_part.ptr()));
  py::object squared =
      pyrt::steal_or_throw(PyNumber_Power(difference.ptr(), to_float(2.0).ptr(), Py_None));
  py::object half = pyrt::steal_or_throw(PyNumber_Multiply(to_float(0.5).ptr(), squared.ptr()));
  py::object kind = pyrt::get_attr(pyrt::get_attr(half, PYRT_NAME("dtype")), PYRT_NAME("kind"));
  if (!pyrt::equals(kind, PYRT_NAME("f")) && !pyrt::equals(kind, PYRT_NAME("O"))) {
    pyrt::raise(PyExc_TypeError, "values must be real numbers, not values of dtype %R",
                pyrt::get_attr(half, PYRT_NAME("dtype")).ptr());
  }
}

// Whether `service` is the package's own great_circle_distance.
bool is_package_great_circle(py::handle service) {
  if (!*g_great_circle_service) {
    PyObject* module = PyImport_GetModule(pyrt::intern("orv._algos.spmis.krige._distance"));
    if (module == nullptr) {
      if (PyErr_Occurred()) pyrt::throw_current();
      return false;
    }
    py::object owner = py::reinterpret_steal<py::object>(module);
    *g_great_circle_service = pyrt::get_attr_or_none(owner, PYRT_NAME("great_circle_distance"));
    if (g_great_circle_service->is_none()) *g_great_circle_service = py::object();
  }
  if (!*g_great_circle_service) return false;
  return g_great_circle_service->ptr() == service.ptr();
}

// The service takes a C-contiguous float64 array of (longitude, latitude)
// rows as it is: then its result is computable here without calling it.
bool is_lon_lat_array(py::handle np, py::handle points) {
  if (Py_TYPE(points.ptr()) !=
      reinterpret_cast<PyTypeObject*>(pyrt::get_attr(np, PYRT_NAME("ndarray")).ptr())) {
    return false;
  }
  const Float64View view = Float64View::try_of(points);
  return view && view.ndim() == 2 && view.extent(1) == 2;
}

std::size_t shape_entry(py::handle shape, long index) {
  const Py_ssize_t value =
      PyNumber_AsSsize_t(pyrt::get_item(shape, to_int(index)).ptr(), PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) pyrt::throw_current();
  return static_cast<std::size_t>(value);
}

// The array qualifies for computing SciPy's pdist natively: a plain 2-D
// numpy array of booleans, integers or floats that SciPy turns into float64.
bool pdist_converts_to_float64(py::handle np, py::handle array) {
  if (Py_TYPE(array.ptr()) !=
      reinterpret_cast<PyTypeObject*>(pyrt::get_attr(np, PYRT_NAME("ndarray")).ptr())) {
    return false;
  }
  if (!pyrt::equals(pyrt::get_attr(array, PYRT_NAME("ndim")), to_int(2))) return false;
  py::object dtype = pyrt::get_attr(array, PYRT_NAME("dtype"));
  py::object kind = pyrt::get_attr(dtype, PYRT_NAME("kind"));
  if (pyrt::equals(kind, PYRT_NAME("f"))) {
    // Extended precision stays extended in pdist.
    return PyObject_RichCompareBool(pyrt::get_attr(dtype, PYRT_NAME("itemsize")).ptr(),
                                    to_int(8).ptr(), Py_LE) == 1;
  }
  return pyrt::equals(kind, PYRT_NAME("b")) || pyrt::equals(kind, PYRT_NAME("i")) ||
         pyrt::equals(kind, PYRT_NAME("u"));
}

// pdist(x, metric=metric) as a one-dimensional float64 array.
Float64View condensed_array(py::handle np, py::handle pdist, py::handle x, py::handle metric) {
  py::object result = pyrt::call_kw(pdist, {x}, {{PYRT_NAME("metric"), metric}});
  Float64View view = Float64View::converted(np, result);
  if (view.ndim() != 1) {
    pyrt::raise(PyExc_ValueError,
                "spatial.distance.pdist must return a one-dimensional condensed array, got %d "
                "dimensions",
                view.ndim());
  }
  return view;
}

template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
template <class... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

}  // namespace

void remember_scipy_pdist() {
  if (*g_scipy_pdist) return;
  PyObject* module = PyImport_GetModule(pyrt::intern("scipy.spatial.distance"));
  if (module == nullptr) {
    if (PyErr_Occurred()) pyrt::throw_current();
    return;
  }
  py::object owner = py::reinterpret_steal<py::object>(module);
  *g_scipy_pdist = pyrt::get_attr_or_none(owner, PYRT_NAME("pdist"));
  if (g_scipy_pdist->is_none()) *g_scipy_pdist = py::object();
}

void raise_mask_mismatch(int axis, std::size_t axis_size, std::size_t mask_size) {
  pyrt::raise(PyExc_IndexError,
              "boolean index did not match indexed array along axis %d; size of axis is %zu but "
              "size of corresponding boolean axis is %zu",
              axis, axis_size, mask_size);
}

PairSource PairSource::geographic(const Call& call, py::handle points, py::handle values) {
  py::object np = call.global(PYRT_NAME("np"));
  py::object service = call.global(PYRT_NAME("great_circle_distance"));
  const bool streamed = is_package_great_circle(service) && is_lon_lat_array(np, points);
  py::object distance;
  if (!streamed) distance = pyrt::call(service, {points, points});
  py::object row = row_of(values);
  py::object column = column_of(values);
  check_value_arithmetic(row, column);
  // One value per point: values of shape (n,) or (n, 1), which give the
  // same pair differences; wider values would need a mean over columns.
  Float64View value_view = Float64View::converted(np, row);
  const bool one_per_point =
      value_view.ndim() == 2 || (value_view.ndim() == 3 && value_view.extent(2) == 1);
  if (!one_per_point || value_view.extent(0) != 1) {
    pyrt::raise(PyExc_ValueError,
                "values must hold one value per point, as an array of shape (n,) or (n, 1)");
  }
  const std::size_t n = value_view.extent(1);

  PairSource source;
  source.distance_pairs_ = source.value_pairs_ = triangle_pairs(n);
  if (streamed) {
    Float64View coordinates = Float64View::of(points, "points");
    const std::size_t rows = coordinates.extent(0);
    if (rows != n) raise_mask_mismatch(0, n, rows);
    source.pairs_ = PointSet{std::move(coordinates), 2, std::move(value_view), true};
    return source;
  }

  // The pairs are read below the diagonal of an n-by-n matrix, n the number
  // of values; any other shape is refused before a single entry is read.
  py::object shape = pyrt::get_attr(distance, PYRT_NAME("shape"));
  const Py_ssize_t ndim = PyObject_Length(shape.ptr());
  if (ndim < 0) pyrt::throw_current();
  if (ndim != 2) {
    pyrt::raise(PyExc_IndexError,
                "great_circle_distance must return a two-dimensional distance matrix, got %zd "
                "dimensions",
                ndim);
  }
  const std::size_t rows = shape_entry(shape, 0);
  const std::size_t columns = shape_entry(shape, 1);
  if (rows != n) raise_mask_mismatch(0, n, rows);
  if (columns != n) raise_mask_mismatch(1, n, columns);
  Float64View distance_view = Float64View::converted(np, distance);
  if (distance_view.ndim() != 2 || distance_view.extent(0) != n || distance_view.extent(1) != n) {
    pyrt::raise(PyExc_ValueError, "the distance matrix changed shape in its float64 conversion");
  }

  source.pairs_ = Matrix{std::move(distance_view), std::move(value_view)};
  return source;
}

PairSource PairSource::condensed(const Call& call, py::handle pdist, py::handle points,
                                 py::handle column) {
  py::object np = call.global(PYRT_NAME("np"));
  Float64View distance = condensed_array(np, pdist, points, PYRT_NAME("euclidean"));
  py::object values_column = py::reinterpret_borrow<py::object>(column);
  if (!values_column) values_column = column_of(call.arg(1));
  Float64View squared = condensed_array(np, pdist, values_column, PYRT_NAME("sqeuclidean"));
  PairSource source;
  source.distance_pairs_ = distance.size();
  source.value_pairs_ = squared.size();
  source.pairs_ = Condensed{std::move(distance), std::move(squared)};
  return source;
}

PairSource PairSource::projected(const Call& call, py::handle points, py::handle values) {
  py::object np = call.global(PYRT_NAME("np"));
  py::object distance_module =
      pyrt::get_attr(call.global(PYRT_NAME("spatial")), PYRT_NAME("distance"));
  py::object pdist = pyrt::get_attr(distance_module, PYRT_NAME("pdist"));
  // Anything but SciPy's own pdist on plain numeric arrays is called as it is.
  if (!is_scipy_pdist(pdist) || !pdist_converts_to_float64(np, points)) {
    return condensed(call, pdist, points, {});
  }
  py::object column = column_of(values);
  if (!pdist_converts_to_float64(np, column) ||
      !pyrt::equals(pyrt::get_item(pyrt::get_attr(column, PYRT_NAME("shape")), to_int(1)),
                    to_int(1)) ||
      !pyrt::equals(pyrt::get_item(pyrt::get_attr(column, PYRT_NAME("shape")), to_int(0)),
                    pyrt::get_item(pyrt::get_attr(points, PYRT_NAME("shape")), to_int(0)))) {
    return condensed(call, pdist, points, column);
  }
  Float64View coordinates = Float64View::converted(np, points);
  Float64View value_view = Float64View::converted(np, column);
  const std::size_t n = coordinates.extent(0);
  const std::size_t dims = coordinates.extent(1);
  PairSource source;
  source.pairs_ = PointSet{std::move(coordinates), dims, std::move(value_view), false};
  source.distance_pairs_ = source.value_pairs_ = triangle_pairs(n);
  return source;
}

DistanceRange PairSource::range() const {
  ReleasedGil unlocked;
  return std::visit(Overloaded{
                        [](const Condensed& p) {
                          return distance_range(CondensedPairs{
                              p.distance.data(), p.squared_difference.data(), p.distance.size()});
                        },
                        [](const Matrix& p) {
                          return distance_range(DistanceMatrix{p.distance.data(), p.values.size(),
                                                               p.values.size(), p.values.data()});
                        },
                        [](const PointSet& p) { return distance_range(p.points()); },
                    },
                    pairs_);
}

ClassTotals PairSource::totals(const ClassEdges& edges) const {
  ReleasedGil unlocked;
  return std::visit(
      Overloaded{
          [&](const Condensed& p) {
            return class_totals(
                CondensedPairs{p.distance.data(), p.squared_difference.data(), p.distance.size()},
                edges);
          },
          [&](const Matrix& p) {
            return class_totals(DistanceMatrix{p.distance.data(), p.values.size(), p.values.size(),
                                               p.values.data()},
                                edges);
          },
          [&](const PointSet& p) { return class_totals(p.points(), edges); },
      },
      pairs_);
}

}  // namespace orv::krige
