"""Which GDAL driver a call means: given by name or object, or chosen from the file extension."""

import os

from osgeo import gdal

from ...error import FormatError

# The capability item that makes a driver handle each kind of data.
KIND_CAPABILITY = {"raster": "DCAP_RASTER", "vector": "DCAP_VECTOR"}


def driver_name(driver: object) -> str:
    """Short name of a driver given as a name, an osgeo.gdal.Driver or a package Driver."""
    if isinstance(driver, str):
        return driver
    for attribute in ("ShortName", "name"):  # osgeo.gdal.Driver, then the package's Driver
        name = getattr(driver, attribute, None)
        if isinstance(name, str):
            return name
    raise TypeError(f"driver must be a driver name or a driver, not {type(driver).__name__}")


def has(driver: gdal.Driver, item: str) -> bool:
    """Whether the driver's capability item ``item`` reads YES."""
    return (driver.GetMetadataItem(item) or "").upper() == "YES"


def by_name(driver: object, kind: str | None = None) -> gdal.Driver:
    """The GDAL driver ``driver`` names; FormatError if there is none or it lacks ``kind``."""
    name = driver_name(driver)
    found = gdal.GetDriverByName(name)
    if found is None:
        raise FormatError(f'"{name}" is not a driver!')
    if kind is not None and not has(found, KIND_CAPABILITY[kind]):
        raise FormatError(f'"{name}" is not a {kind} driver!')
    return found


def for_extension(
    path: str, kind: str, capabilities: tuple[str, ...] = ("DCAP_CREATE",)
) -> gdal.Driver:
    """The first driver of the registry that handles ``kind`` data under ``path``'s extension
    and has one of ``capabilities`` (creating, by default); FormatError if there is none."""
    extension = os.path.splitext(path)[1].lstrip(".").lower()
    if not extension:
        raise FormatError(f"{path!r} has no extension to choose a {kind} driver by; give driver=")
    candidates = []
    for index in range(gdal.GetDriverCount()):
        found = gdal.GetDriver(index)
        extensions = (found.GetMetadataItem("DMD_EXTENSIONS") or "").lower().split()
        if extension in extensions and has(found, KIND_CAPABILITY[kind]):
            if any(has(found, capability) for capability in capabilities):
                return found
            candidates.append(found.ShortName)
    hint = f" (only {', '.join(candidates)}, which cannot write it)" if candidates else ""
    raise FormatError(f"no {kind} driver writes .{extension} files{hint}; give driver=")
