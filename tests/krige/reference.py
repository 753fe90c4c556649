"""Plain numpy versions of the kriging preparation steps, as documented, for comparison.

Shared by the tests and the benchmarks (benchmarks/bench_krige.py).

``adjust_anisotropy`` and ``init_variogram_model`` follow the documented steps one by one with
whole-array numpy operations and the package's own services (``init_points``,
``to_numeric_array``, ``great_circle_distance``, SciPy's ``pdist``). They are the reference
against which the native core is timed and checked; they are not meant to be fast.
"""

import warnings

import numpy as np

from orv import error
from orv._algos.spmis.krige import (
    great_circle_distance,
    init_points,
    spatial,
    to_numeric_array,
)


def _padded(values, size):
    # Repeats the last entry until there are `size` entries; longer vectors stay whole.
    values = to_numeric_array(values).flatten()
    return np.pad(values, (0, np.max([0, size - values.size])), mode="edge")


def adjust_anisotropy(points, center, scale, angle):
    """Rotate and stretch 2-D or 3-D points about ``center`` (angles in degrees)."""
    points = init_points(points)
    center = to_numeric_array(center)
    ndim_point = points.shape[1]
    scale = _padded(scale, ndim_point)
    angle = np.radians(_padded(angle, ndim_point))
    if ndim_point == 2:
        stretch = np.array([[1, 0], [0, scale[0]]])
        cos, sin = np.cos(-angle[0]), np.sin(-angle[0])
        rot_tot = np.array([[cos, -sin], [sin, cos]])
    elif ndim_point == 3:
        stretch = np.array([[1.0, 0.0, 0.0], [0.0, scale[0], 0.0], [0.0, 0.0, scale[1]]])
        ca, sa = np.cos(-angle[0]), np.sin(-angle[0])
        cb, sb = np.cos(-angle[1]), np.sin(-angle[1])
        cg, sg = np.cos(-angle[2]), np.sin(-angle[2])
        rotate_x = np.array([[1.0, 0.0, 0.0], [0.0, ca, -sa], [0.0, sa, ca]])
        rotate_y = np.array([[cb, 0.0, sb], [0.0, 1.0, 0.0], [-sb, 0.0, cb]])
        rotate_z = np.array([[cg, -sg, 0.0], [sg, cg, 0.0], [0.0, 0.0, 1.0]])
        rot_tot = np.dot(rotate_z, np.dot(rotate_y, rotate_x))
    else:
        raise ValueError("points must have 2 or 3 columns")
    adj_points = points - center
    return np.dot(stretch, np.dot(rot_tot, adj_points.T)).T + center


def _pair_data(points, values, gtype):
    if gtype == "GEOGCS":
        d = great_circle_distance(points, points)
        g = 0.5 * (values[None, :] - values[:, None]) ** 2.0
        indices = np.indices(d.shape)
        d = d[indices[0, :, :] > indices[1, :, :]]
        g = g[indices[0, :, :] > indices[1, :, :]]
        return d, g
    if gtype == "PROJCS":
        d = spatial.distance.pdist(points, metric="euclidean")
        g = 0.5 * spatial.distance.pdist(values[:, None], metric="sqeuclidean")
        return d, g
    raise error.SpmisError(errors=gtype)


def init_variogram_model(points, values, n_lags, gtype):
    """Mean distance and mean semivariance of the non-empty distance classes."""
    points = init_points(points)
    d, g = _pair_data(points, values, gtype)
    d_max = np.max(d)
    d_min = np.min(d)
    dd = (d_max - d_min) / n_lags
    bins = d_min + dd * np.arange(n_lags)
    # The last edge lies above the largest distance even where adding 0.001 is lost to
    # rounding (distances of 1e13 and more).
    d_max = max(d_max + 0.001, np.nextafter(d_max, np.inf))
    bins = np.append(bins, d_max)
    lags = np.zeros(n_lags)
    semivariance = np.zeros(n_lags)
    with warnings.catch_warnings():
        # An empty class has a NaN mean, by design; it is dropped below.
        warnings.simplefilter("ignore", RuntimeWarning)
        for n in range(n_lags):
            lags[n] = np.mean(d[(d >= bins[n]) & (d < bins[n + 1])])
            semivariance[n] = np.mean(g[(d >= bins[n]) & (d < bins[n + 1])])
    kept = ~np.isnan(semivariance)
    return lags[kept], semivariance[kept]
