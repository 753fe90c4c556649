"""GDAL-backed geodata tools.

Kept empty on purpose: the native driver module imports its services from the sibling module
``base`` and must not be loaded as a side effect of importing this package.
"""
