"""TALVEX in QGIS: a Processing provider with the top-of-atmosphere and the
surface reflectance of raw four-band satellite scenes."""


def classFactory(iface):  # noqa: N802 (the name QGIS calls)
    """The plugin object QGIS loads."""
    from .plugin import TalvexPlugin

    return TalvexPlugin()
