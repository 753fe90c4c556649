"""North-up grids given by bounds and a cell size, and their division into tiles."""

import math
import operator
from collections.abc import Iterator, Sequence
from typing import NamedTuple

from ._inputs import finite_real

# A span this close to a whole number of cells is that many cells (rounding of the bounds).
_WHOLE_CELL_TOLERANCE = 1e-9


def _cells(span: float, size: float, axis: str) -> int:
    count = span / size
    whole = round(count)
    cells = (
        whole if abs(count - whole) <= _WHOLE_CELL_TOLERANCE * max(1.0, count) else math.ceil(count)
    )
    if cells > 2**31 - 1:
        raise ValueError(f"the grid would be {cells} cells {axis}; give a larger resolution")
    return max(1, cells)


class Grid(NamedTuple):
    """Cells of ``dx`` by ``dy`` from the top-left corner (``x0``, ``y0``): ``width`` columns,
    ``height`` rows, row 0 at the top (north). Cell (column c, row r) is centred at
    (x0 + (c + 0.5) dx, y0 - (r + 0.5) dy)."""

    x0: float
    y0: float
    dx: float
    dy: float
    width: int
    height: int

    @property
    def geotransform(self) -> tuple[float, float, float, float, float, float]:
        """GDAL's six coefficients of the grid."""
        return (self.x0, self.dx, 0.0, self.y0, 0.0, -self.dy)

    def tiles(self, tile: int) -> Iterator[tuple[int, int, int, int]]:
        """Windows (col_off, row_off, width, height) of at most tile x tile cells, row by row."""
        for row in range(0, self.height, tile):
            for col in range(0, self.width, tile):
                yield col, row, min(tile, self.width - col), min(tile, self.height - row)


def make_grid(bounds: Sequence[float], resolution: float | Sequence[float]) -> Grid:
    """The grid covering ``bounds`` (xmin, ymin, xmax, ymax) with cells of ``resolution``
    (one size, or (x size, y size)). The cells start at (xmin, ymax); when a span is not a
    whole number of cells, the last column (row) reaches past xmax (below ymin)."""
    try:
        xmin, ymin, xmax, ymax = (finite_real(v, "bounds") for v in bounds)
    except ValueError as exc:
        if "unpack" in str(exc):
            raise ValueError("bounds must be four numbers: (xmin, ymin, xmax, ymax)") from None
        raise
    if not (xmin < xmax and ymin < ymax):
        raise ValueError(
            f"bounds must have xmin < xmax and ymin < ymax, not {(xmin, ymin, xmax, ymax)}"
        )
    if isinstance(resolution, Sequence) and not isinstance(resolution, str):
        if len(resolution) != 2:
            raise ValueError("resolution must be one cell size or two (x size, y size)")
        dx, dy = (finite_real(v, "resolution") for v in resolution)
    else:
        dx = dy = finite_real(resolution, "resolution")
    if not (dx > 0 and dy > 0):
        raise ValueError(f"resolution must be positive, not {(dx, dy) if dx != dy else dx}")
    return Grid(
        xmin, ymax, dx, dy, _cells(xmax - xmin, dx, "across"), _cells(ymax - ymin, dy, "down")
    )


def tile_size(tile: object) -> int:
    """A tile edge: an int of at least 1."""
    try:
        edge = operator.index(tile)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"tile must be an int, not {tile!r}") from None
    if edge < 1:
        raise ValueError(f"tile must be at least 1, not {edge}")
    return edge
