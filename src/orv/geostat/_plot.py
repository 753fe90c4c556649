"""``Variogram.plot`` with matplotlib, imported when a plot is made."""

from typing import Any

import numpy as np


def plot_variogram(variogram: Any, ax: Any = None, model: Any = None) -> Any:
    """The semivariance per class with its pair count above it, and the model's curve."""
    from matplotlib import pyplot as plt

    if ax is None:
        _, ax = plt.subplots(figsize=(6, 4))
    ax.plot(variogram.lags, variogram.semivariance, "o", label=variogram.estimator)
    for lag, gamma, pairs in zip(
        variogram.lags, variogram.semivariance, variogram.pairs, strict=True
    ):
        ax.annotate(
            str(pairs),
            (lag, gamma),
            fontsize=7,
            textcoords="offset points",
            xytext=(0, 5),
            ha="center",
        )
    if model is not None:
        reach = variogram.edges[-1] if variogram.edges.size else 1.0
        distances = np.linspace(0.0, reach, 200)
        ax.plot(distances, model(distances), "-", label=model.model)
        ax.legend()
    ax.set_xlabel(f"lag ({variogram.unit or 'coordinate units'})")
    ax.set_ylabel("semivariance")
    ax.set_xlim(left=0.0)
    ax.set_ylim(bottom=0.0)
    return ax
