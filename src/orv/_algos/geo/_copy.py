"""Copying a dataset to a new file: all of it, or nothing left behind.

GDAL's copies can end early without failing: a vector copy stops at the first feature the
source cannot read or the target cannot take and keeps what it wrote, reporting the failure
only as a message. Here any GDAL failure during the copy raises GDALError with GDAL's text,
and every file the copy wrote is removed.
"""

from collections.abc import Callable
from typing import Any

from osgeo import _gdal, gdal

from ._gdalcall import call_gdal_fun
from ._gdalerrors import GDALMessages, quiet


def exists(path: str) -> bool:
    with quiet():
        return gdal.VSIStatL(path) is not None


def remove_existing(path: str) -> None:
    """Delete the dataset at ``path`` with the driver that identifies it (all its files)."""
    with quiet():
        found = gdal.IdentifyDriverEx(path)
        if found is not None:
            found.Delete(path)
        stat = gdal.VSIStatL(path)
        if stat is not None and not stat.IsDirectory():
            gdal.Unlink(path)
    if exists(path):
        raise FileExistsError(f"could not remove {path!r} to overwrite it")


def copy_raster(source: gdal.Dataset, target: str, driver: gdal.Driver, options: list[str]) -> Any:
    """The raster copy (CreateCopy, strict), or GDALError with nothing left at ``target``."""
    return _removed_on_failure(
        target,
        driver,
        lambda: call_gdal_fun(_gdal.Driver_CreateCopy, driver, target, source, 1, options),
    )


def copy_vector(
    source: gdal.Dataset,
    target: str,
    driver: gdal.Driver,
    options: list[str],
    layer_options: list[str],
    promote_to_multi: bool,
) -> Any:
    """The vector copy, layer by layer, or GDALError with nothing left at ``target``."""
    made: list[Any] = []

    def translate() -> Any:
        # Made here rather than by the translation, so that its files are known on failure.
        made.append(call_gdal_fun(_gdal.Driver_Create, driver, target, 0, 0, 0, 0, options))
        with GDALMessages("copying the layers") as messages:
            done = gdal.VectorTranslate(
                made[0],
                source,
                layerCreationOptions=layer_options,
                geometryType="PROMOTE_TO_MULTI" if promote_to_multi else None,
            )
            made[0].FlushCache()
        failure = messages.error(None if done else "no message from GDAL")
        if failure is not None:
            raise failure
        messages.emit()
        return made.pop()

    return _removed_on_failure(target, driver, translate, made)


def _removed_on_failure(
    target: str, driver: gdal.Driver, copy: Callable[[], Any], made: list[Any] | None = None
) -> Any:
    try:
        return copy()
    except BaseException:
        files = (made[0].GetFileList() or []) if made else []
        if made:
            made.clear()  # the last reference: closes the partial dataset before its files go
        remove_written(target, driver, files)
        raise


def remove_written(target: str, driver: gdal.Driver, files: list[str]) -> None:
    """Remove the dataset a failed call wrote at ``target``: its files and a folder it made."""
    with quiet():
        if gdal.VSIStatL(target) is not None:
            driver.Delete(target)
        for path in [*files, target]:
            stat = gdal.VSIStatL(path)
            if stat is not None and not stat.IsDirectory():
                gdal.Unlink(path)
        stat = gdal.VSIStatL(target)
        if stat is not None and stat.IsDirectory():  # made by the copy: it did not exist before
            gdal.RmdirRecursive(target)
