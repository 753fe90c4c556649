# Type stubs of the native driver facade. `tests/typing` checks them against the built module
# with mypy's stubtest and compares every docstring with the runtime's.

from collections.abc import Iterator
from typing import Any, Literal, Protocol

from ._dtypes import RaterDataType
from .geodatabase import GeoDatabase

class _HasDriverHandle(Protocol):
    # GDAL's driver objects (osgeo.gdal.Driver) keep the raw handle in `this`.
    @property
    def this(self) -> object: ...

# One option of a GDAL option list: the XML attributes (type, description, default, min,
# max, scope, ...) as str, "value" the admissible values, "current" the chosen value.
type _OptionRecord = dict[str, Any]
# Option name -> option record, in the order of the driver's option list.
type _OptionInfo = dict[str, _OptionRecord]
type _DriverSource = Driver | int | str | _HasDriverHandle
type _Dimension = Literal["XY", "XYZ", "XYM", "XYZM"]

def _to_driver_shadow_(data: object, allow_error: object = True) -> Any | None: ...
def read_xml_to_dict(xlm_str: str | None) -> _OptionInfo: ...

class Driver:
    """A orv Driver object."""

    def __init__(self, name: _DriverSource) -> None:
        """
        Create a Dataset object!

        Parameters
        ----------
        name: str.
            A driver name.

        """

    def _get_metadata_item_(self, psz: str) -> str: ...
    def _repr_html_(self) -> str: ...
    def _set_creation_options_info_(self, raster: bool | None = None) -> _OptionInfo:
        """creation options. --> list"""

    def _set_open_options_info_(self, raster: bool | None = None) -> _OptionInfo:
        """open options. --> list"""

    def _set_opts_(self, opts: _OptionInfo, **kwargs: object) -> None: ...
    @property
    def category(self) -> str:
        """Driver category. --> str"""

    @property
    def creatable(self) -> bool:
        """Whether the target drive supports creation. --> bool"""

    @property
    def creation_options(self) -> dict[str, Any]:
        """Creation options. --> dict"""

    @property
    def creation_options_info(self) -> _OptionInfo:
        """Creation options info. --> list"""

    @property
    def extension(self) -> str:
        """Driver extension. --> str"""

    @property
    def extensions(self) -> list[str]:
        """Driver extensions. --> list"""

    @property
    def is_raster(self) -> bool:
        """Is a raster driver. --> bool"""

    @property
    def is_vector(self) -> bool:
        """Is a vector driver. --> bool"""

    @property
    def long_name(self) -> str:
        """Driver long name. --> str"""

    @property
    def name(self) -> str:
        """Driver name. --> str"""
    # The default is one empty list shared by every call that omits the argument.
    def open(self, in_src: str, sibling_files: list[str] = ...) -> GeoDatabase:
        """
        Open a raster file of this driver as a Dataset.

        Parameters
        ----------
        in_src: str
            name of the file to open

        **Optional
        ----------
        sibling_files: list, default = None.
            A list of filenames that are auxiliary to the main filename.

        Returns
        -------
        Dataset

        """

    @property
    def open_options(self) -> dict[str, Any]:
        """Open options. --> dict"""

    @property
    def open_options_info(self) -> _OptionInfo:
        """Open options info. --> list"""

    def set_creation_options(self, **kwargs: object) -> None:
        """Set create options! For more, see ~.creation_options_info!"""

    def set_open_options(self, **kwargs: object) -> None:
        """Set open options! For more, see ~.open_options_info!"""

    @property
    def updatable(self) -> bool:
        """Whether the target driver can be modified/updated. --> bool"""

    @property
    def virtualio(self) -> bool:
        """Whether the raster driver supports virtual dataset. --> bool"""

class RasterDriver(Driver):
    """Raster driver object."""

    def __init__(self, name: _DriverSource = "GTiff") -> None:
        """
        Create a raster driver object.

        **Optional
        ----------
        name = str. Default 'GTiff'.
            A raster driver name.
        """
    # The positional order is bands, ysize, xsize (not the docstring's xsize, ysize, bands).
    def _create_(
        self,
        out_dst: str | None,
        bands: int,
        ysize: int,
        xsize: int,
        dtype: int | str | RaterDataType = "Float32",
    ) -> Any: ...
    @property
    def category(self) -> Literal["Raster"]:
        """Driver category. --> str"""

    @property
    def compress_modes(self) -> list[str]:
        """The compression methods supported by the raster driver.--> list"""

    @property
    def coordinate_epoch(self) -> bool:
        """Whether the raster driver supports georeferencing. --> bool"""

    @property
    def copyable(self) -> bool:
        """Whether the target drive supports copy. --> bool"""

    # The parameters are named bands, ysize, xsize in this order, but create hands its
    # positional values on in the docstring's order: create(path, 128, 64, 1) makes 128
    # columns, 64 rows and one band (by keyword, columns and bands trade places).
    def create(
        self,
        out_dst: str | None,
        bands: int,
        ysize: int,
        xsize: int,
        dtype: int | str | RaterDataType = "Float32",
    ) -> GeoDatabase:
        """
        Create a new Dataset with this driver.

        Parameters
        ----------
        out_dst: str.
            Path of the dataset to create. None for memory.

        xsize: int.
            Width of created raster in pixels.

        ysize: int.
            Height of created raster in pixels.

        bands: int.
            Number of bands.

        **Optional
        ----------
        dtype: int. str or RaterDataType, default = 'Float32'.
            Raster data type. Set to `dtypes.RaterDataType` for raster datasets.

        Returns
        -------
        Dataset

        """

    @property
    def creation_dtypes(self) -> list[str]:
        """Supported data storage types.--> list"""

    @property
    def creation_options_info(self) -> _OptionInfo:
        """creation options. --> list"""

    @property
    def open_options_info(self) -> _OptionInfo:
        """open options. --> list"""

    @property
    def sub_datasets(self) -> bool:
        """Whether the raster driver supports sub dataset. --> bool"""

    @property
    def transformable(self) -> bool:
        """Whether the raster driver supports transformable. --> bool"""

class VectorDriver(Driver):
    """Vector driver object."""

    def __init__(self, name: _DriverSource = "ESRI Shapefile") -> None:
        """
        Create a vector driver object.

        **Optional
        ----------
        name = str. Default 'ESRI Shapefile'.
            A vector driver.
        """

    def _create_(self, out_dst: str | None) -> Any: ...
    @property
    def category(self) -> Literal["Vector"]:
        """Driver category. --> str"""

    def create(self, out_dst: str | None) -> GeoDatabase:
        """
        Create a new GeoDatabase with this driver.

        Parameters
        ----------
        out_dst: str.
            Path of the geo database to create. None for memory.

        Returns
        -------
        GeoDatabase

        """

    @property
    def creation_ftypes(self) -> list[str]:
        """Supported field storage types.--> list"""

    @property
    def creation_options_info(self) -> _OptionInfo:
        """creation options. --> list"""

    @property
    def dimension(self) -> _Dimension:
        """Get the dimension vector driver. --> str"""

    @property
    def multi_layers(self) -> bool:
        """Whether the vector driver supports multi layers. --> bool"""

    @property
    def open_options_info(self) -> _OptionInfo:
        """open options. --> list"""

    @property
    def sql_dialects(self) -> list[str]:
        """The vector driver support's sql dialects. --> list"""

    @property
    def transformable(self) -> bool:
        """Whether the vector driver supports transformable. --> bool"""

class DriveStatistics:
    """Drive statistics object."""

    def __init__(self) -> None: ...
    # An int is a registry position (negative from the end); anything else is matched,
    # without regard to letter case, against the drivers' short names.
    def __getitem__(self, indices: int | str) -> Driver: ...
    def __len__(self) -> int: ...
    # Not defined at runtime: iteration goes through __getitem__ (positions 0, 1, ... until
    # IndexError), which type checkers do not model; stubtest's allowlist names this entry.
    def __iter__(self) -> Iterator[Driver]: ...
    def _repr_html_(self) -> str:
        """HTML style for Jupyter NoteBook."""

    @property
    def creatables(self) -> list[Driver]:
        """List of supported drivers that can be created. --> list"""

    @property
    def rasters(self) -> list[Driver]:
        """List of supported drivers that can be raster. --> list"""

    @property
    def updatables(self) -> list[Driver]:
        """List of supported drivers that can be updatables. --> list"""

    @property
    def vectors(self) -> list[Driver]:
        """List of supported drivers that can be vector. --> list"""

    @property
    def virtualios(self) -> list[Driver]:
        """List of supported drivers that can be virtualios. --> list"""
