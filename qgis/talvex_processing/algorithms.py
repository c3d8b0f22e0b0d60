"""The two algorithms of the TALVEX provider: top-of-atmosphere reflectance,
and surface reflectance, of a four-band DN scene, computed by talvex-geo."""

from __future__ import annotations

import os
import shlex
import shutil
import tempfile
from typing import Any, Callable, Dict, FrozenSet, List, Optional, Tuple

from osgeo import gdal
from qgis.core import (
    QgsProcessingAlgorithm,
    QgsProcessingContext,
    QgsProcessingException,
    QgsProcessingFeedback,
    QgsProcessingParameterDefinition,
    QgsProcessingParameterEnum,
    QgsProcessingParameterFile,
    QgsProcessingParameterNumber,
    QgsProcessingParameterRasterDestination,
    QgsProcessingParameterRasterLayer,
    QgsProcessingParameterString,
    QgsRasterLayer,
)
from qgis.PyQt.QtGui import QIcon

from . import help_texts, talvex_geo
from .run_parameters import Field, FieldTable

ICON_FILE = os.path.join(os.path.dirname(__file__), "icon.svg")

# The two reflectances talvex-geo writes.
TOA = "toa"
SURFACE = "surface"
# The base name of the outputs inside a run's private folder.
STAGED_BASE = "run"
STAGING_PREFIX = ".talvex-qgis-"
PARAMETER_FILE_NAME = "parameters-from-the-fields.txt"
CANCELLED = "Cancelled: no output was written."

# The GDAL creation options as QGIS's own raster algorithms take them:
# NAME=VALUE pairs separated by "|", edited in Processing's options widget.
CREATION_OPTIONS_SEPARATOR = "|"
CREATION_OPTIONS_WIDGET = "processing.algs.gdal.ui.RasterOptionsWidget.RasterOptionsWidgetWrapper"

# Decimals of a number field in the dialog. Its widget rounds what is typed
# to them (6 by default), so they are enough for the 32-bit float the value
# becomes: the same number in a field and in a parameter file give the same run.
FIELD_DECIMALS = 9

# The output formats offered, as the dialog names them and as talvex-geo's -of does.
FORMATS = (("GeoTIFF (tiled)", "GTiff"), ("Cloud Optimized GeoTIFF (COG)", "COG"))


class ReflectanceAlgorithm(QgsProcessingAlgorithm):
    """What both algorithms share: the scene, the run parameters from a file
    or from fields, the output format, and the run of talvex-geo."""

    INPUT = "INPUT"
    PARAMETER_FILE = "PARAMETER_FILE"
    FORMAT = "FORMAT"
    OPTIONS = "OPTIONS"
    OUTPUT = "OUTPUT"

    def __init__(
        self,
        fields: FieldTable,
        program: Callable[[], Tuple[str, str]],
        switches: FrozenSet[str] = frozenset(),
    ) -> None:
        """``program`` gives the configured talvex-geo and the one recorded at
        build time; ``switches`` are those of the talvex-geo found when the
        provider was loaded, which decide the optional parameters offered."""
        super().__init__()
        self._field_table = fields
        self._program = program
        self._switches = switches

    # What the subclasses say.
    correcting = False

    def outputs(self) -> Dict[str, str]:
        """The output parameters, by the reflectance (TOA or SURFACE) they take."""
        raise NotImplementedError

    def _output_suffix(self, reflectance: str) -> str:
        """What talvex-geo puts after the base name of a reflectance's output."""
        table = self._field_table
        return table.toa_output_suffix if reflectance == TOA else table.surface_output_suffix

    # QgsProcessingAlgorithm.

    def createInstance(self) -> "ReflectanceAlgorithm":
        return type(self)(self._field_table, self._program, self._switches)

    def group(self) -> str:
        return ""

    def groupId(self) -> str:
        return ""

    def icon(self) -> QIcon:
        return QIcon(ICON_FILE)

    def _band_parameter(self, band: int) -> str:
        return f"BAND{band}"

    def _field_parameters(self) -> List[Field]:
        return self._field_table.fields(self.correcting)

    def initAlgorithm(self, configuration: Optional[dict] = None) -> None:
        bands = self._field_table.bands
        self.addParameter(
            QgsProcessingParameterRasterLayer(
                self.INPUT,
                f"DN scene (bands {', '.join(map(str, bands))} in one raster, or band {bands[0]} alone)",
            )
        )
        for band in bands[1:]:
            self.addParameter(
                QgsProcessingParameterRasterLayer(
                    self._band_parameter(band),
                    f"Band {band} (when the scene is given band by band)",
                    optional=True,
                )
            )
        self.addParameter(
            QgsProcessingParameterFile(
                self.PARAMETER_FILE,
                "Parameter file (when empty, the values below are used)",
                behavior=QgsProcessingParameterFile.File,
                fileFilter="Parameter files (*.txt);;All files (*)",
                optional=True,
            )
        )
        for field in self._field_parameters():
            number_type = (
                QgsProcessingParameterNumber.Integer
                if field.is_integer
                else QgsProcessingParameterNumber.Double
            )
            parameter = QgsProcessingParameterNumber(
                field.key, field.label, number_type, field.default
            )
            if not field.is_integer:
                parameter.setMetadata({"widget_wrapper": {"decimals": FIELD_DECIMALS}})
            self.addParameter(parameter)
        for name, _, field in self._offered_maps():
            unit = f" ({field.unit})" if field.unit else ""
            label = f"{field.description[:1].upper()}{field.description[1:]} map{unit}, instead of the value"
            self.addParameter(QgsProcessingParameterRasterLayer(name, label, optional=True))
        format_parameter = QgsProcessingParameterEnum(
            self.FORMAT, "Output format", options=[name for name, _ in FORMATS], defaultValue=0
        )
        format_parameter.setFlags(
            format_parameter.flags() | QgsProcessingParameterDefinition.FlagAdvanced
        )
        self.addParameter(format_parameter)
        options_parameter = QgsProcessingParameterString(
            self.OPTIONS, "Additional creation options", defaultValue="", optional=True
        )
        options_parameter.setFlags(
            options_parameter.flags() | QgsProcessingParameterDefinition.FlagAdvanced
        )
        options_parameter.setMetadata({"widget_wrapper": {"class": CREATION_OPTIONS_WIDGET}})
        self.addParameter(options_parameter)
        self.add_output_parameters()

    def add_output_parameters(self) -> None:
        raise NotImplementedError

    def maps(self) -> List[Tuple[str, str, str]]:
        """The per-pixel maps this algorithm takes, when talvex-geo takes
        them: (parameter, talvex-geo's switch, the field the map replaces)."""
        return []

    def _offered_maps(self) -> List[Tuple[str, str, Field]]:
        fields = {field.name: field for field in self._field_parameters()}
        return [
            (name, switch, fields[field])
            for name, switch, field in self.maps()
            if switch in self._switches and field in fields
        ]

    def checkParameterValues(self, parameters: Dict[str, Any], context: QgsProcessingContext):
        given = [
            bool(parameters.get(self._band_parameter(band))) for band in self._field_table.bands[1:]
        ]
        if any(given) and not all(given):
            bands = self._field_table.bands
            return False, (
                f"Give the scene either as one raster of the bands {', '.join(map(str, bands))}, or band by "
                f"band with every one of the bands {', '.join(map(str, bands[1:]))} too."
            )
        return super().checkParameterValues(parameters, context)

    def processAlgorithm(
        self,
        parameters: Dict[str, Any],
        context: QgsProcessingContext,
        feedback: QgsProcessingFeedback,
    ) -> Dict[str, Any]:
        try:
            program = talvex_geo.find_program(*self._program())
        except talvex_geo.TalvexGeoFailure as failure:
            raise QgsProcessingException(str(failure)) from None
        available = talvex_geo.switches(program)
        scene = self._scene_layers(parameters, context)
        inputs = [_layer_file(layer) for layer in scene]
        maps = []
        for name, switch, _ in self._offered_maps():
            layer = self.parameterAsRasterLayer(parameters, name, context)
            if layer is None:
                continue
            if switch not in available:
                raise QgsProcessingException(
                    f'The {talvex_geo.PROGRAM} found, "{program}", takes no map ({switch}): '
                    "install the TALVEX that goes with this plugin."
                )
            maps += [switch, _layer_file(layer)]
        destinations = {
            name: self.parameterAsOutputLayer(parameters, name, context)
            for name in self.outputs().values()
        }
        destinations = {name: path for name, path in destinations.items() if path}
        _check_destinations(destinations, inputs + maps[1::2])

        staging = _private_folder_beside(destinations[self.OUTPUT])
        try:
            parameter_file = self.parameterAsFile(parameters, self.PARAMETER_FILE, context)
            if not parameter_file:
                parameter_file = self._write_parameter_file(parameters, context, scene[0], staging)
            output_format = FORMATS[self.parameterAsEnum(parameters, self.FORMAT, context)][1]
            outputs_folder = os.path.join(staging, "outputs")
            os.mkdir(outputs_folder)
            base = os.path.join(outputs_folder, STAGED_BASE)
            command = [program]
            if talvex_geo.PROGRESS_SWITCH in available:
                command.append(talvex_geo.PROGRESS_SWITCH)
            command += ["-of", output_format, *maps]
            creation_options = self.parameterAsString(parameters, self.OPTIONS, context)
            for option in filter(None, (creation_options or "").split(CREATION_OPTIONS_SEPARATOR)):
                command += ["-co", option]
            command += ["--", parameter_file, *inputs, base]
            status, reader = self._run(command, feedback)
            staged = {
                name: base + self._output_suffix(kind) for kind, name in self.outputs().items()
            }
            self._place_outputs(status, reader, staged, destinations, parameter_file, feedback)
        finally:
            shutil.rmtree(staging, ignore_errors=True)
        return dict(destinations)

    def _write_parameter_file(
        self,
        parameters: Dict[str, Any],
        context: QgsProcessingContext,
        scene: QgsRasterLayer,
        folder: str,
    ) -> str:
        """The parameter file of the fields' values, for the scene's size."""
        values = {
            field.key: (
                self.parameterAsInt(parameters, field.key, context)
                if field.is_integer
                else self.parameterAsDouble(parameters, field.key, context)
            )
            for field in self._field_parameters()
        }
        path = os.path.join(folder, PARAMETER_FILE_NAME)
        with open(path, "w", encoding="utf-8") as stream:
            stream.write(
                self._field_table.parameter_text(
                    scene.height(), scene.width(), self.correcting, values
                )
            )
        return path

    def _run(self, command: List[str], feedback: QgsProcessingFeedback):
        """Runs talvex-geo with the dialog's progress and Cancel."""
        feedback.pushCommandInfo(" ".join(shlex.quote(a) for a in command))
        try:
            status, reader = talvex_geo.run(command, feedback.isCanceled, feedback.setProgress)
        except talvex_geo.Stopped:
            raise QgsProcessingException(CANCELLED) from None
        except talvex_geo.TalvexGeoFailure as failure:
            raise QgsProcessingException(str(failure)) from None
        if feedback.isCanceled():
            raise QgsProcessingException(CANCELLED)
        return status, reader

    def _place_outputs(
        self,
        status: int,
        reader: talvex_geo.ProgressReader,
        staged: Dict[str, str],
        destinations: Dict[str, str],
        parameter_file: str,
        feedback: QgsProcessingFeedback,
    ) -> None:
        """Moves what talvex-geo completed onto the destinations, or raises
        its message."""
        placed = set()
        if status == self._field_table.status_toa_only:
            # A correction option neither 0 nor 1: the top-of-atmosphere
            # reflectance is complete, as talvex-geo says, and is kept.
            toa = self.outputs()[TOA]
            if toa in destinations and os.path.isfile(staged[toa]):
                _move_into_place(staged[toa], destinations[toa])
                placed.add(toa)
            if not self.correcting:
                status = 0
        if status != 0:
            raise QgsProcessingException(
                reader.failure_text() or f"{talvex_geo.PROGRAM} ended with status {status}."
            )
        for line in reader.messages:
            feedback.pushWarning(talvex_geo.without_prefix(line))
        if any(name not in placed and not os.path.isfile(staged[name]) for name in destinations):
            raise QgsProcessingException(
                f'The Parameter File "{parameter_file}" does not ask for surface reflectance: '
                f"its correction option is not {self._field_table.correction_on}."
            )
        for name, final in destinations.items():
            if name not in placed:
                _move_into_place(staged[name], final)

    def _scene_layers(
        self, parameters: Dict[str, Any], context: QgsProcessingContext
    ) -> List[QgsRasterLayer]:
        layers = [self.parameterAsRasterLayer(parameters, self.INPUT, context)]
        extra = [
            self.parameterAsRasterLayer(parameters, self._band_parameter(band), context)
            for band in self._field_table.bands[1:]
        ]
        if any(layer is not None for layer in extra):
            layers += extra
        if any(layer is None for layer in layers):
            raise QgsProcessingException(
                self.checkParameterValues(parameters, context)[1] or "No DN scene given."
            )
        return layers

    def shortHelpString(self) -> str:
        maps = [field.description for _, _, field in self._offered_maps()]
        return help_texts.algorithm_help(self.correcting, self._field_table, maps)


class ToaReflectanceAlgorithm(ReflectanceAlgorithm):
    """Top-of-atmosphere reflectance of a DN scene."""

    correcting = False

    def name(self) -> str:
        return "toareflectance"

    def displayName(self) -> str:
        return "Top-of-atmosphere reflectance"

    def outputs(self) -> Dict[str, str]:
        return {TOA: self.OUTPUT}

    def add_output_parameters(self) -> None:
        self.addParameter(
            QgsProcessingParameterRasterDestination(self.OUTPUT, "Top-of-atmosphere reflectance")
        )


class SurfaceReflectanceAlgorithm(ReflectanceAlgorithm):
    """Surface reflectance of a DN scene, with its top-of-atmosphere
    reflectance when asked for."""

    TOA_OUTPUT = "TOA_OUTPUT"
    ELEVATION_MAP = "ELEVATION_MAP"
    AEROSOL_MAP = "AOD_MAP"
    correcting = True

    def name(self) -> str:
        return "surfacereflectance"

    def displayName(self) -> str:
        return "Surface reflectance"

    def outputs(self) -> Dict[str, str]:
        return {SURFACE: self.OUTPUT, TOA: self.TOA_OUTPUT}

    def maps(self) -> List[Tuple[str, str, str]]:
        return [
            (self.ELEVATION_MAP, talvex_geo.ELEVATION_MAP_SWITCH, "elevation_metres"),
            (self.AEROSOL_MAP, talvex_geo.AEROSOL_MAP_SWITCH, "aerosol_optical_depth"),
        ]

    def add_output_parameters(self) -> None:
        self.addParameter(
            QgsProcessingParameterRasterDestination(self.OUTPUT, "Surface reflectance")
        )
        self.addParameter(
            QgsProcessingParameterRasterDestination(
                self.TOA_OUTPUT,
                "Top-of-atmosphere reflectance",
                optional=True,
                createByDefault=False,
            )
        )


def _layer_file(layer: QgsRasterLayer) -> str:
    """The file (or GDAL data set name) of a raster layer."""
    if layer.providerType() != "gdal":
        raise QgsProcessingException(
            f'The layer "{layer.name()}" is not a raster file ({layer.providerType()} layer): '
            "save it as a GeoTIFF first."
        )
    return layer.source()


def _private_folder_beside(path: str) -> str:
    """A new hidden folder in the folder of ``path``, for a run's files."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        return tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=folder)
    except OSError as error:
        raise QgsProcessingException(
            f'Can Not Open the Output File "{path}": {error.strerror} (the folder "{folder}").'
        ) from None


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def _check_destinations(destinations: Dict[str, str], inputs: List[str]) -> None:
    paths = list(destinations.values())
    for i, path in enumerate(paths):
        if not path.lower().endswith(".tif") and not path.lower().endswith(".tiff"):
            raise QgsProcessingException(f'The output "{path}" must be a GeoTIFF file (.tif).')
        for source in inputs:
            if _same_file(path, source):
                raise QgsProcessingException(f'The output "{path}" is one of the input files.')
        if any(_same_file(path, other) for other in paths[:i]):
            raise QgsProcessingException(f'The two outputs are the same file, "{path}".')


def _move_into_place(staged: str, final: str) -> None:
    """Puts a complete output under its final name in one rename, then
    removes the files GDAL would take with it that belonged to an earlier
    output of that name (its statistics, overviews or mask)."""
    folder = os.path.dirname(os.path.abspath(final))
    if os.stat(staged).st_dev != os.stat(folder).st_dev:
        # Another file system: a copy beside the final name first.
        handle, beside = tempfile.mkstemp(prefix=STAGING_PREFIX, dir=folder)
        os.close(handle)
        try:
            shutil.copyfile(staged, beside)
            os.replace(beside, final)
        except BaseException:
            os.remove(beside)
            raise
    else:
        os.replace(staged, final)
    for companion in _dataset_files(final):
        if not _same_file(companion, final):
            os.remove(companion)


def _dataset_files(path: str) -> List[str]:
    """Every file of the data set at ``path``, as GDAL finds them."""
    if not os.path.exists(path):
        return []
    gdal.PushErrorHandler("CPLQuietErrorHandler")
    try:
        dataset = gdal.OpenEx(path, gdal.OF_RASTER)
        files = None
        if dataset is not None:
            # Overviews and masks in files of their own are looked for when first asked for.
            band = dataset.GetRasterBand(1)
            band.GetOverviewCount()
            band.GetMaskFlags()
            files = dataset.GetFileList()
            band = None
    except RuntimeError:
        files = None
    finally:
        dataset = None
        gdal.PopErrorHandler()
    return list(files or [path])
