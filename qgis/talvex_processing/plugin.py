"""The plugin: puts the TALVEX provider into the Processing toolbox."""

from __future__ import annotations

from qgis.core import QgsApplication

from .provider import TalvexProvider


class TalvexPlugin:
    """Registers the provider while the plugin is loaded."""

    def __init__(self) -> None:
        self.provider = None

    def initProcessing(self) -> None:
        """Called by QGIS, also by qgis_process, which has no interface."""
        if self.provider is None:
            self.provider = TalvexProvider()
            QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self) -> None:
        self.initProcessing()

    def unload(self) -> None:
        if self.provider is not None:
            QgsApplication.processingRegistry().removeProvider(self.provider)
            self.provider = None
