"""The range of a point set as the core finds it: the pair pass's bits on awkward sets.

Projected points of one or two columns skip the pass; geographic points re-evaluate only the
rows that hold a pair near an extreme.
"""

import numpy as np
import pytest
from threadpoolctl import threadpool_limits

_pairs = pytest.importorskip("orv._algos.spmis.krige._pairs")

RNG = np.random.default_rng(20)


def with_coordinates(**at):
    """Random points with coordinates replaced: at={"r7c0": value, ...}."""
    points = RNG.uniform(0.0, 1.0, (300, 2))
    for place, value in at.items():
        row, column = place[1:].split("c")
        points[int(row), int(column)] = value
    return points


def centres(count, spread, size):
    return np.concatenate(
        [RNG.normal(c, spread, (size, 2)) for c in RNG.uniform(0.0, 1e4, (count, 2))]
    )


def rotated(points, angle):
    turn = np.array([[np.cos(angle), np.sin(angle)], [-np.sin(angle), np.cos(angle)]])
    return points @ turn


def opposite_arcs():
    """Points on two opposite arcs and inside: the farthest pair is no direction's extreme."""
    turn = np.concatenate([RNG.uniform(-0.3, 0.3, 300), RNG.uniform(np.pi - 0.3, np.pi + 0.3, 300)])
    inside = RNG.uniform(-0.5, 0.5, (2000, 2))
    return np.concatenate([np.column_stack([np.cos(turn), np.sin(turn)]), inside])


angles = np.linspace(0.0, 2.0 * np.pi, 1500, endpoint=False)
SETS = {
    "uniform": RNG.uniform(0.0, 1e5, (4000, 2)),
    "clustered": centres(12, 1e-3, 250),
    "collinear": np.column_stack([np.linspace(0.0, 1.0, 2000), 3.0 * np.linspace(0.0, 1.0, 2000)]),
    "vertical line": np.column_stack([np.full(1000, 5.0), RNG.uniform(0.0, 1.0, 1000)]),
    "duplicates": np.repeat(RNG.uniform(0.0, 1.0, (150, 2)), 3, axis=0),
    "integer grid with repeats": RNG.integers(0, 30, (2000, 2)).astype(float),
    "lattice (ties everywhere)": np.stack(
        np.meshgrid(np.arange(40.0), np.arange(40.0)), -1
    ).reshape(-1, 2)
    * 0.1,
    # The diameter halfway between two of the bounding directions.
    "thin rectangle, turned": rotated(RNG.uniform(0.0, 1.0, (3000, 2)) * [1.0, 0.01], np.pi / 64),
    "opposite arcs": opposite_arcs(),
    "circle (every point on the hull)": np.column_stack([np.cos(angles), np.sin(angles)]),
    "two points": np.array([[0.0, 0.0], [3.0, 4.0]]),
    "three points, subnormal gap": np.array([[0.0, 0.0], [3.0, 4.0], [1e-300, 0.0]]),
    "all the same point": np.ones((40, 2)),
    "tiny extent": RNG.uniform(0.0, 1e-200, (400, 2)),
    "huge coordinates": RNG.uniform(-1e150, 1e150, (400, 2)),
    "beyond 2**500": RNG.uniform(-1e160, 1e160, (400, 2)),
    "far from the origin": RNG.uniform(0.0, 1.0, (400, 2)) + 1e12,
    "small extent far away": RNG.uniform(0.0, 1e-9, (400, 2)) + 1e6,
    "one column": RNG.uniform(0.0, 1.0, (1000, 1)),
    "three columns": RNG.uniform(0.0, 1.0, (400, 3)),
    "NaN": with_coordinates(r7c1=np.nan),
    "infinity": with_coordinates(r7c0=np.inf),
    "two equal infinities": with_coordinates(r7c0=np.inf, r9c0=np.inf),
    "opposite infinities": with_coordinates(r7c0=np.inf, r9c0=-np.inf),
}


def raw(result):
    return [np.float64(x).tobytes() for x in result[:2]] + [result[2]]


@pytest.mark.parametrize("name", SETS)
def test_range_has_the_bits_of_the_pair_pass(name):
    points = np.ascontiguousarray(SETS[name], dtype=np.float64)
    expected = _pairs.block_range(points, points, geographic=False, diagonal=True)
    for threads in (1, 2):
        with threadpool_limits(limits=threads, user_api="openmp"):
            assert raw(_pairs.point_range(points, False)) == raw(expected)


def lon_lat(lon, lat):
    return np.column_stack([lon, lat])


GEOGRAPHIC = {
    "whole globe": lon_lat(RNG.uniform(-180, 180, 1500), RNG.uniform(-90, 90, 1500)),
    "region": lon_lat(RNG.uniform(100, 120, 1500), RNG.uniform(20, 40, 1500)),
    "duplicates": np.repeat(lon_lat(RNG.uniform(-9, 9, 300), RNG.uniform(-9, 9, 300)), 2, axis=0),
    "clusters": np.concatenate(
        [
            c + RNG.normal(0.0, 0.01, (200, 2))
            for c in lon_lat(RNG.uniform(-180, 180, 8), np.zeros(8))
        ]
    ),
    "across the date line": lon_lat(np.linspace(170.0, 190.0, 1200), RNG.uniform(-1, 1, 1200)),
    "antipodes and poles": np.array([[0, 0], [180, 0], [10, 10], [-170, -10], [0, 90], [0, -90]]),
    "10 degree grid": np.stack(
        np.meshgrid(np.arange(-180, 180, 10), np.arange(-90, 91, 10)), -1
    ).reshape(-1, 2),
    "NaN": with_coordinates(r5c1=np.nan) * 90.0,
}


@pytest.mark.parametrize("name", GEOGRAPHIC)
def test_geographic_range_is_that_of_the_distance_matrix(name):
    points = np.ascontiguousarray(GEOGRAPHIC[name], dtype=np.float64)
    below = _pairs.great_circle_matrix(points, points)[np.tril_indices(len(points), -1)]
    expected = [np.nan] * 2 if np.isnan(below).any() else [below.min(), below.max()]
    for threads in (1, 2):
        with threadpool_limits(limits=threads, user_api="openmp"):
            found = _pairs.point_range(points, True)
        assert raw(found) == raw([*expected, len(below)])


@pytest.mark.parametrize("n", [0, 1])
def test_fewer_than_two_points_have_no_range(n):
    d_min, d_max, pairs = _pairs.point_range(np.zeros((n, 2)), False)
    assert np.isnan(d_min) and np.isnan(d_max) and pairs == 0


def test_square_root_floor_is_timed_on_every_path():
    try:
        for path in _pairs.isa_paths():
            _pairs.force_isa(path)
            assert 0.0 < _pairs.square_root_ns(256, 3) < 1e3
    finally:
        _pairs.force_isa(None)
