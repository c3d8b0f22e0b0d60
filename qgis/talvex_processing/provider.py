"""The TALVEX provider of the Processing toolbox."""

from __future__ import annotations

import os
from typing import Tuple

from processing.core.ProcessingConfig import ProcessingConfig, Setting
from qgis.core import QgsProcessingProvider
from qgis.PyQt.QtGui import QIcon

from . import talvex_geo
from .algorithms import ICON_FILE, SurfaceReflectanceAlgorithm, ToaReflectanceAlgorithm
from .run_parameters import load_field_table

try:
    from .build_paths import TALVEX_GEO as BUILT_TALVEX_GEO
except ImportError:  # a plugin copied by hand, without its build record
    BUILT_TALVEX_GEO = ""

PROVIDER_ID = "talvex"
# The provider's setting: the talvex-geo to run; empty to look for it.
TALVEX_GEO_SETTING = "TALVEX_GEO_EXECUTABLE"


class TalvexProvider(QgsProcessingProvider):
    """Top-of-atmosphere and surface reflectance of raw four-band scenes."""

    def __init__(self) -> None:
        super().__init__()
        self._fields = load_field_table()

    def id(self) -> str:
        return PROVIDER_ID

    def name(self) -> str:
        return "TALVEX"

    def longName(self) -> str:
        return "TALVEX: top-of-atmosphere and surface reflectance"

    def icon(self) -> QIcon:
        return QIcon(ICON_FILE)

    def svgIconPath(self) -> str:
        return ICON_FILE

    def load(self) -> bool:
        ProcessingConfig.settingIcons[self.name()] = self.icon()
        ProcessingConfig.addSetting(
            Setting(
                self.name(),
                TALVEX_GEO_SETTING,
                f"{talvex_geo.PROGRAM} executable (empty: the installed one)",
                "",
                valuetype=Setting.FILE,
            )
        )
        ProcessingConfig.readSettings()
        self.refreshAlgorithms()
        return True

    def unload(self) -> None:
        ProcessingConfig.removeSetting(TALVEX_GEO_SETTING)

    def program(self) -> Tuple[str, str]:
        """The configured talvex-geo and the one recorded at build time."""
        configured = ProcessingConfig.getSetting(TALVEX_GEO_SETTING) or ""
        return str(configured).strip(), BUILT_TALVEX_GEO

    def loadAlgorithms(self) -> None:
        try:
            switches = talvex_geo.switches(talvex_geo.find_program(*self.program()))
        except talvex_geo.TalvexGeoFailure:
            switches = frozenset()  # each run says what is missing
        self.addAlgorithm(ToaReflectanceAlgorithm(self._fields, self.program, switches))
        self.addAlgorithm(SurfaceReflectanceAlgorithm(self._fields, self.program, switches))

    def supportedOutputRasterLayerExtensions(self):
        return ["tif"]

    def defaultRasterFileExtension(self) -> str:
        return "tif"

    def versionInfo(self) -> str:
        metadata = os.path.join(os.path.dirname(__file__), "metadata.txt")
        with open(metadata, encoding="utf-8") as stream:
            for line in stream:
                if line.startswith("version="):
                    return line.split("=", 1)[1].strip()
        return ""
