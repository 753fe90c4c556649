"""Package configuration read by the driver facade.

``RasterConfig`` and ``VectorConfig`` hold, under "creation.options", a mapping from driver
short name to {creation option name: default value}. Both ship empty, so a dataset is created
with GDAL's own defaults unless the user asks for more, e.g.::

    env.RasterConfig["creation.options"]["GTiff"] = {"COMPRESS": "LZW", "TILED": "YES"}

A driver reads these defaults once, when it first parses its option list.
``JupyterShowMaxShape`` is (maximum rows, maximum columns) of notebook tables.
"""

import copy


class Config(dict):
    """Settings of one data kind; ``reset()`` restores the shipped defaults."""

    def __init__(self, kind, defaults):
        super().__init__(copy.deepcopy(defaults))
        self.kind = kind
        self._defaults = copy.deepcopy(defaults)

    def reset(self):
        self.clear()
        self.update(copy.deepcopy(self._defaults))

    def __repr__(self):
        return f"{type(self).__name__}({self.kind!r}, {dict.__repr__(self)})"


RasterConfig = Config("raster", {"creation.options": {}})
VectorConfig = Config("vector", {"creation.options": {}})
JupyterShowMaxShape = (20, 10)
