// tile_size, great_circle_matrix, block_range and block_classes.
#include "krige/pairs/blocks.hpp"

#include "krige/pairs/arrays.hpp"
#include "krige/pairs/partial.hpp"

namespace orv::krige::tiles {
namespace {

py::object tile_size_of(const Call& call) {
  size_argument(call.arg(0), "n");
  return to_int(static_cast<long>(kTileEdge));
}

py::object great_circle_matrix_of(const Call& call) {
  const PointBlock a = point_block(call.arg(0), {}, true, "a");
  const PointBlock b = point_block(call.arg(1), {}, true, "b");
  const std::size_t n = a.points.n;
  const std::size_t m = b.points.n;
  py::object np = call.global(PYRT_NAME("np"));
  py::object out =
      np_call(np, PYRT_NAME("empty"),
              {py::make_tuple(to_int(static_cast<long>(n)), to_int(static_cast<long>(m)))});
  const Float64View view = Float64View::of(out, "distance matrix", true);
  {
    ReleasedGil unlocked;
    great_circle_matrix(a.points.coordinates, n, b.points.coordinates, m, view.mutable_data());
  }
  return out;
}

// The two blocks of a block call; with `diagonal` the second must be the
// first again (same shape), and the first is used for both.
struct BlockPair {
  PointBlock rows;
  PointBlock columns;
};

BlockPair block_pair(py::handle a, py::handle values_a, py::handle b, py::handle values_b,
                     bool geographic, bool diagonal) {
  BlockPair pair{point_block(a, values_a, geographic, "coords_a"),
                 point_block(b, values_b, geographic, "coords_b")};
  if (pair.rows.points.dims != pair.columns.points.dims) {
    pyrt::raise(PyExc_ValueError, "coords_a and coords_b must have the same number of columns");
  }
  if (diagonal && pair.rows.points.n != pair.columns.points.n) {
    pyrt::raise(PyExc_ValueError,
                "a diagonal block pairs a block with itself: coords_a and "
                "coords_b must be the same points");
  }
  return pair;
}

py::object point_range_of(const Call& call) {
  const bool geographic = flag_argument(call.arg(1), "geographic");
  const PointBlock block = point_block(call.arg(0), {}, geographic, "coords");
  DistanceRange range;
  {
    ReleasedGil unlocked;
    range = distance_range(block.points);
  }
  return py::make_tuple(to_float(range.min), to_float(range.max),
                        pyrt::steal_or_throw(PyLong_FromSize_t(range.pairs)));
}

py::object shortcut_range_of(const Call& call) {
  const bool geographic = flag_argument(call.arg(1), "geographic");
  const PointBlock block = point_block(call.arg(0), {}, geographic, "coords");
  std::optional<DistanceRange> range;
  {
    ReleasedGil unlocked;
    range = shortcut_range(block.points);
  }
  if (!range) return py::none();
  return py::make_tuple(to_float(range->min), to_float(range->max),
                        pyrt::steal_or_throw(PyLong_FromSize_t(range->pairs)));
}

py::object block_range_of(const Call& call) {
  const bool geographic = flag_argument(call.arg(2), "geographic");
  const bool diagonal = flag_argument(call.arg(3), "diagonal");
  const BlockPair pair = block_pair(call.arg(0), {}, call.arg(1), {}, geographic, diagonal);
  DistanceRange range;
  {
    ReleasedGil unlocked;
    range =
        block_range(pair.rows.points, diagonal ? pair.rows.points : pair.columns.points, diagonal);
  }
  return py::make_tuple(to_float(range.min), to_float(range.max),
                        pyrt::steal_or_throw(PyLong_FromSize_t(range.pairs)));
}

py::object block_classes_of(const Call& call) {
  const std::size_t tile = size_argument(call.arg(5), "tile");
  if (tile == 0 || tile % 8 != 0) {
    pyrt::raise(PyExc_ValueError, "tile must be a positive multiple of 8, as tile_size gives");
  }
  const bool geographic = flag_argument(call.arg(6), "geographic");
  const bool diagonal = flag_argument(call.arg(7), "diagonal");
  const BlockPair pair =
      block_pair(call.arg(0), call.arg(1), call.arg(2), call.arg(3), geographic, diagonal);
  const Float64View edges = Float64View::of(call.arg(4), "edges");
  if (edges.ndim() != 1 || edges.size() < 1) {
    pyrt::raise(PyExc_ValueError, "edges must be one-dimensional with n_lags + 1 entries");
  }
  ClassPartials partials;
  {
    ReleasedGil unlocked;
    partials = block_classes(pair.rows.points, diagonal ? pair.rows.points : pair.columns.points,
                             ClassEdges{edges.data(), edges.size() - 1}, tile, diagonal);
  }
  return make_partial(call, partials);
}

}  // namespace

const pyrt::FunctionSpec kTileSize = {
    "tile_size", {"n"}, "The tile edge for n points: 256, the same for every n.", tile_size_of};

const pyrt::FunctionSpec kGreatCircleMatrix = {
    "great_circle_matrix",
    {"a", "b"},
    "Great-circle km between the (lon, lat) degree rows of a and b, an (n, m) float64 array.",
    great_circle_matrix_of};

const pyrt::FunctionSpec kPointRange = {
    "point_range",
    {"coords", "geographic"},
    "(dmin, dmax, pairs) over all pairs of the points, as the kriging core finds them.",
    point_range_of};

const pyrt::FunctionSpec kShortcutRange = {
    "shortcut_range",
    {"coords", "geographic"},
    "point_range where it needs no pass over the pairs, else None.",
    shortcut_range_of};

const pyrt::FunctionSpec kBlockRange = {
    "block_range",
    {"coords_a", "coords_b", "geographic", "diagonal"},
    "(dmin, dmax, pairs) over the pairs of a row block and a column block.",
    block_range_of};

const pyrt::FunctionSpec kBlockClasses = {
    "block_classes",
    {"coords_a", "values_a", "coords_b", "values_b", "edges", "tile", "geographic", "diagonal"},
    "The ClassPartial of the tiles of a row block against a column block.",
    block_classes_of};

}  // namespace orv::krige::tiles
