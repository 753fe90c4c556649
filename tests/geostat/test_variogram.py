"""orv.variogram against the kriging core (bit for bit) and a plain numpy rendition."""

import warnings

import numpy as np
import pytest

import orv
from orv._algos.spmis.krige import _pairs, core, great_circle_distance
from orv.geostat import MissingSamplesWarning


def sample(n, geographic, seed=3):
    rng = np.random.default_rng(seed)
    if geographic:
        points = np.column_stack([rng.uniform(5.0, 9.0, n), rng.uniform(44.0, 47.0, n)])
    else:
        points = rng.uniform(0.0, 1000.0, (n, 2))
    return points, rng.lognormal(size=n)


def reference_pairs(points, values, geographic):
    """Distance, value difference and separation (east, north) of every pair i < j."""
    i, j = np.triu_indices(len(values), k=1)
    if geographic:
        d = great_circle_distance(points, points)[i, j]
        dlon = (points[j, 0] - points[i, 0] + 180.0) % 360.0 - 180.0
        east = dlon * 0.5 * (np.cos(np.radians(points[i, 1])) + np.cos(np.radians(points[j, 1])))
    else:
        d = np.sqrt(((points[j] - points[i]) ** 2).sum(axis=1))
        east = points[j, 0] - points[i, 0]
    return d, values[j] - values[i], east, points[j, 1] - points[i, 1]


def reference_classes(d, terms, edges, keep):
    rows = []
    for low, high in zip(edges[:-1], edges[1:], strict=True):
        inside = keep & (d >= low) & (d < high)
        if inside.any():
            rows.append((d[inside].mean(), terms[inside].mean(), inside.sum()))
    return [np.array(column) for column in zip(*rows, strict=True)]


@pytest.mark.parametrize("geographic", [False, True])
def test_defaults_are_the_cores_classes_bit_for_bit(geographic):
    points, values = sample(300, geographic)
    result = orv.variogram(points, values, n_lags=13, geographic=geographic)
    lags, gamma = core.init_variogram_model(
        points, values, 13, "GEOGCS" if geographic else "PROJCS"
    )
    assert result.lags.tobytes() == lags.tobytes()
    assert result.semivariance.tobytes() == gamma.tobytes()
    d, *_ = reference_pairs(points, values, geographic)
    assert result.edges.size == 14
    assert (result.edges[0], result.edges[-1]) == (d.min(), d.max() + 0.001)
    _, _, counts = reference_classes(d, d, result.edges, np.ones(d.size, bool))
    assert result.pairs.tolist() == counts.tolist()


CASES = {
    "edges": dict(edges=[0.0, 20.0, 45.0, 90.0, 200.0, 260.0]),
    "cut-off": dict(max_distance=150.0, n_lags=9),
    "cressie": dict(estimator="cressie", max_distance=400.0, n_lags=7),
    "direction": dict(direction=60.0, tolerance=20.0, n_lags=8),
}


@pytest.mark.parametrize("geographic", [False, True])
@pytest.mark.parametrize("case", CASES)
def test_options_match_numpy(geographic, case):
    options = dict(CASES[case])
    if geographic and "max_distance" not in options and "edges" in options:
        options["edges"] = [e / 2 for e in options["edges"]]  # km over a few degrees
    points, values = sample(400, geographic)
    result = orv.variogram(points, values, geographic=geographic, **options)

    d, diff, east, north = reference_pairs(points, values, geographic)
    keep = np.ones(d.size, bool)
    if "max_distance" in options:
        limit = options["max_distance"]
        n_lags = options["n_lags"]
        low = d[d <= limit].min()
        edges = low + (limit - low) / n_lags * np.arange(n_lags)
        edges = np.append(edges, np.nextafter(limit, np.inf))
    elif "edges" in options:
        edges = np.array(options["edges"])
    else:
        edges = result.edges  # the core's edges, checked bit for bit above
    if "direction" in options:
        azimuth = np.degrees(np.arctan2(east, north)) % 180.0
        off = np.abs(azimuth - options["direction"] % 180.0)
        keep = np.minimum(off, 180.0 - off) <= options["tolerance"]
    np.testing.assert_array_equal(result.edges, edges)

    if options.get("estimator") == "cressie":
        lags, roots, counts = reference_classes(d, np.sqrt(np.abs(diff)), edges, keep)
        gamma = 0.5 * roots**4 / (0.457 + 0.494 / counts + 0.045 / counts**2)
    else:
        lags, gamma, counts = reference_classes(d, 0.5 * diff**2, edges, keep)
    assert result.pairs.tolist() == counts.tolist()
    np.testing.assert_allclose(result.lags, lags, rtol=1e-12)
    np.testing.assert_allclose(result.semivariance, gamma, rtol=1e-12)


@pytest.mark.parametrize("geographic", [False, True])
@pytest.mark.parametrize(
    "estimator, azimuth, tolerance", [("cressie", 30.0, 40.0), ("matheron", None, 90.0)]
)
def test_the_ordered_pass_keeps_its_bits_across_paths_threads_and_parts(
    geographic, estimator, azimuth, tolerance
):
    points, values = sample(900, geographic)
    order = _pairs.spatial_order(points, geographic)
    points, values = np.ascontiguousarray(points[order]), np.ascontiguousarray(values[order])
    edges = np.linspace(0.0, 120.0, 11)
    outcomes = set()
    try:
        for path in _pairs.isa_paths():
            _pairs.force_isa(path)
            for threads, parts in ((1, 1), (2, 1), (3, 1), (8, 1), (2, 3)):
                partials = [
                    _pairs.filtered_classes(
                        points,
                        values,
                        edges,
                        geographic,
                        estimator,
                        azimuth,
                        tolerance,
                        p,
                        parts,
                        threads,
                    )
                    for p in range(parts)
                ]
                totals = _pairs.merge_partials(partials).totals()
                outcomes.add(b"".join(t.tobytes() for t in totals))
    finally:
        _pairs.force_isa(None)
    assert len(outcomes) == 1 and totals[0].sum() > 0
    with pytest.raises(ValueError, match="threads"):
        _pairs.filtered_classes(points, values, edges, geographic, estimator, None, 90.0, 0, 1, -1)


def test_missing_samples_are_left_out_with_one_warning():
    points, values = sample(60, False)
    clean = orv.variogram(points[3:], values[3:], max_distance=500.0)
    rows = points.tolist()
    rows[0][1] = None
    given = values.astype(object)
    given[1], given[2] = None, np.nan
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = orv.variogram(rows, list(given), max_distance=500.0)
    assert [w.category for w in caught] == [MissingSamplesWarning]
    assert str(caught[0].message).startswith("3 of 60 samples left out")
    assert caught[0].filename == __file__
    assert result.pairs.tolist() == clean.pairs.tolist()
    np.testing.assert_array_equal(result.semivariance, clean.semivariance)


@pytest.mark.parametrize(
    ("crs", "geographic", "unit"),
    [("EPSG:4326", True, "km"), (3857, False, "metre"), (None, False, None)],
)
def test_the_crs_decides_the_distances(crs, geographic, unit):
    points, values = sample(50, True)
    result = orv.variogram(points, values, crs=crs)
    assert (result.geographic, result.unit) == (geographic, unit)


POINTS, VALUES = sample(5, False)


@pytest.mark.parametrize(
    ("arguments", "raised", "message"),
    [
        ((POINTS[:1], VALUES[:1]), ValueError, "at least 2 samples"),
        ((POINTS, VALUES[:4]), ValueError, "values has 4 entries but there are 5 points"),
        ((POINTS, ["a"] * 5), TypeError, "values must hold"),
        ((POINTS[:, 0], VALUES), ValueError, "points must be a 2-D array"),
        ((POINTS, VALUES, {"n_lags": 0}), ValueError, "n_lags must lie between 1 and 4096"),
        ((POINTS, VALUES, {"n_lags": 10**9}), ValueError, "n_lags must lie between 1 and 4096"),
        ((POINTS, VALUES, {"n_lags": 2.5}), TypeError, "n_lags must be an int"),
        ((POINTS, VALUES, {"edges": [0, 2, 1]}), ValueError, "edges must increase strictly"),
        ((POINTS, VALUES, {"edges": [0, 1], "max_distance": 1}), ValueError, "not both"),
        ((POINTS, VALUES, {"max_distance": -1.0}), ValueError, "max_distance must be positive"),
        ((POINTS, VALUES, {"max_distance": 1e-9}), ValueError, "no pair of points lies within"),
        ((POINTS, VALUES, {"estimator": "median"}), ValueError, "estimator must be"),
        ((POINTS, VALUES, {"direction": 0, "tolerance": 0}), ValueError, "tolerance must lie"),
        ((POINTS, VALUES, {"geographic": True}), ValueError, "longitude 8"),
        (([[0, 0], [1, 95]], [1, 2], {"geographic": True}), ValueError, "latitude 95"),
        (([[0, 0], [1, 1]], [1, 2], {"geographic": True, "crs": 3857}), ValueError, "contradicts"),
        (([[0, 0], [1e200, 1]], [1, 2]), ValueError, "distances overflow"),
        ((POINTS, VALUES, {"crs": "no such crs"}), ValueError, "crs 'no such crs' is not"),
    ],
)
def test_bad_input_is_named(arguments, raised, message):
    points, values, *options = arguments
    with pytest.raises(raised, match=message):
        orv.variogram(points, values, **(options[0] if options else {}))


def test_a_dask_client_gives_the_same_bits():
    distributed = pytest.importorskip("dask.distributed")
    points, values = sample(700, False)
    options = [{}, {"max_distance": 300.0, "estimator": "cressie", "direction": 10.0}]
    here = [orv.variogram(points, values, **o) for o in options]
    with distributed.Client(processes=False, n_workers=1, dashboard_address=None) as client:
        there = [orv.variogram(points, values, client=client, **o) for o in options]
    for a, b in zip(here, there, strict=True):
        assert a.pairs.tolist() == b.pairs.tolist()
        assert a.lags.tobytes() + a.semivariance.tobytes() == b.lags.tobytes() + (
            b.semivariance.tobytes()
        )
