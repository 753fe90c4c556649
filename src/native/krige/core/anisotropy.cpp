// adjust_anisotropy: rotates and stretches point coordinates about a centre
// with whole-array numpy operations, c + S * R * (p - c) for every point p.
#include <vector>

#include "krige/core/functions.hpp"

namespace orv::krige {
namespace {

py::object negate(py::handle value) { return pyrt::steal_or_throw(PyNumber_Negative(value.ptr())); }

py::object subtract(py::handle a, py::handle b) {
  return pyrt::steal_or_throw(PyNumber_Subtract(a.ptr(), b.ptr()));
}

py::object new_list(std::initializer_list<py::handle> items) {
  py::object list = pyrt::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (py::handle entry : items) PyList_SET_ITEM(list.ptr(), i++, Py_NewRef(entry.ptr()));
  return list;
}

// np.array of the nested list made of the given rows.
py::object matrix(py::handle np, std::initializer_list<py::object> rows) {
  py::object nested = pyrt::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  Py_ssize_t i = 0;
  for (const py::object& row : rows) PyList_SET_ITEM(nested.ptr(), i++, Py_NewRef(row.ptr()));
  return np_call(np, PYRT_NAME("array"), {nested});
}

// to_numeric_array(value).flatten(), padded at its end with its last entry
// up to `size` entries: np.pad(v, (0, np.max([0, size - v.size])), mode="edge").
py::object padded_vector(const Call& call, py::handle np, py::handle value, py::handle size) {
  py::object converted = pyrt::call(call.global(PYRT_NAME("to_numeric_array")), {value});
  py::object flat = pyrt::call_method(converted, PYRT_NAME("flatten"), {});
  py::object missing = subtract(size, pyrt::get_attr(flat, PYRT_NAME("size")));
  py::object zero = to_int(0);
  py::object after = np_call(np, PYRT_NAME("max"), {new_list({zero, missing})});
  py::object widths = py::make_tuple(zero, after);
  return np_call(np, PYRT_NAME("pad"), {flat, widths}, {{PYRT_NAME("mode"), PYRT_NAME("edge")}});
}

// The cosine and sine of -angle[index], as np.cos and np.sin give them.
struct NegatedAngle {
  py::object cos;
  py::object sin;
};

NegatedAngle negated_angle(py::handle np, py::handle angles, long index) {
  py::object angle = negate(pyrt::get_item(angles, to_int(index)));
  return {np_call(np, PYRT_NAME("cos"), {angle}), np_call(np, PYRT_NAME("sin"), {angle})};
}

struct Transform {
  py::object stretch;
  py::object rot_tot;
};

Transform planar_transform(py::handle np, py::handle scale, py::handle angle) {
  py::object one = to_int(1);
  py::object zero = to_int(0);
  py::object stretch =
      matrix(np, {new_list({one, zero}), new_list({zero, pyrt::get_item(scale, to_int(0))})});
  const NegatedAngle theta = negated_angle(np, angle, 0);
  py::object rot_tot =
      matrix(np, {new_list({theta.cos, negate(theta.sin)}), new_list({theta.sin, theta.cos})});
  return {stretch, rot_tot};
}

Transform spatial_transform(py::handle np, py::handle scale, py::handle angle) {
  py::object one = to_float(1.0);
  py::object zero = to_float(0.0);
  py::object stretch = matrix(
      np, {new_list({one, zero, zero}), new_list({zero, pyrt::get_item(scale, to_int(0)), zero}),
           new_list({zero, zero, pyrt::get_item(scale, to_int(1))})});
  const NegatedAngle alpha = negated_angle(np, angle, 0);
  py::object rotate_x =
      matrix(np, {new_list({one, zero, zero}), new_list({zero, alpha.cos, negate(alpha.sin)}),
                  new_list({zero, alpha.sin, alpha.cos})});
  const NegatedAngle beta = negated_angle(np, angle, 1);
  py::object rotate_y =
      matrix(np, {new_list({beta.cos, zero, beta.sin}), new_list({zero, one, zero}),
                  new_list({negate(beta.sin), zero, beta.cos})});
  const NegatedAngle gamma = negated_angle(np, angle, 2);
  py::object rotate_z =
      matrix(np, {new_list({gamma.cos, negate(gamma.sin), zero}),
                  new_list({gamma.sin, gamma.cos, zero}), new_list({zero, zero, one})});
  // The rotation about the first axis acts first, the one about the third last.
  py::object rot_tot = np_call(np, PYRT_NAME("dot"),
                               {rotate_z, np_call(np, PYRT_NAME("dot"), {rotate_y, rotate_x})});
  return {stretch, rot_tot};
}

bool equals_int(py::handle value, long number) {
  py::object result =
      pyrt::steal_or_throw(PyObject_RichCompare(value.ptr(), to_int(number).ptr(), Py_EQ));
  return pyrt::truthy(result);
}

py::object adjust_anisotropy(const Call& call) {
  py::object np = call.global(PYRT_NAME("np"));
  py::object points = pyrt::call(call.global(PYRT_NAME("init_points")), {call.arg(0)});
  py::object center = pyrt::call(call.global(PYRT_NAME("to_numeric_array")), {call.arg(1)});
  py::object ndim_point = pyrt::get_item(pyrt::get_attr(points, PYRT_NAME("shape")), to_int(1));
  py::object scale = padded_vector(call, np, call.arg(2), ndim_point);
  py::object angle = padded_vector(call, np, call.arg(3), ndim_point);
  angle = np_call(np, PYRT_NAME("radians"), {angle});

  Transform transform;
  if (equals_int(ndim_point, 2)) {
    transform = planar_transform(np, scale, angle);
  } else if (equals_int(ndim_point, 3)) {
    transform = spatial_transform(np, scale, angle);
  }
  py::object adj_points = subtract(points, center);
  if (!transform.stretch) {
    // Only two and three coordinate columns have a transform.
    pyrt::raise(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                "stretch");
  }
  py::object rotated = np_call(np, PYRT_NAME("dot"),
                               {transform.rot_tot, pyrt::get_attr(adj_points, PYRT_NAME("T"))});
  py::object stretched = np_call(np, PYRT_NAME("dot"), {transform.stretch, rotated});
  return pyrt::steal_or_throw(
      PyNumber_Add(pyrt::get_attr(stretched, PYRT_NAME("T")).ptr(), center.ptr()));
}

}  // namespace

const pyrt::FunctionSpec kAdjustAnisotropy = {"adjust_anisotropy",
                                              {"points", "center", "scale", "angle"},
                                              "调整数据坐标以考虑各向异性。",
                                              adjust_anisotropy};

}  // namespace orv::krige
