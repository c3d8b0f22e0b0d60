"""The help panel of each algorithm."""

from __future__ import annotations

from typing import Sequence

from .run_parameters import FieldTable


def algorithm_help(
    correcting: bool, fields: FieldTable, map_descriptions: Sequence[str] = ()
) -> str:
    """The help text (simple HTML) of the top-of-atmosphere or the surface
    reflectance algorithm; ``map_descriptions`` names the values that maps
    may give pixel by pixel."""
    bands = ", ".join(map(str, fields.bands))
    if correcting:
        what = (
            "<p>Computes the <b>surface reflectance</b> of a raw four-band scene: its top-of-atmosphere "
            "reflectance corrected for gas absorption, Rayleigh and aerosol scattering with a model tuned "
            "for continental aerosols and tropical atmospheres. The top-of-atmosphere reflectance is "
            "written too when its output is given.</p>"
        )
    else:
        what = "<p>Computes the <b>top-of-atmosphere reflectance</b> of a raw four-band scene.</p>"
    # A per-band field once, for all its bands.
    shown = [f for f in fields.fields(correcting) if f.band in (0, fields.bands[0])]
    names = "".join(f"<li>{f.label_for('each band')}</li>" for f in shown)
    return (
        what
        + f"<h3>Scene</h3><p>The raw DNs of the bands {bands}: one raster that holds the four bands in this "
        "order, or four one-band rasters, each in its own field. Pixels are unsigned integers of at most 16 "
        "bits; a DN of 0 marks a pixel without data, as does a no-data value of the input. Any raster GDAL "
        "reads will do; its CRS and geotransform are kept.</p>"
        "<h3>Run parameters</h3><p>Either a <b>parameter file</b>, laid out as TALVEX's example parameter "
        "file (the scene size on its first line must be the raster's), or, when no file is given, the "
        f"fields:</p><ul>{names}</ul><p>The fields start at the example scene's values; the scene size is the "
        "raster's. "
        + (
            f"Maps of the {' and of the '.join(map_descriptions)} (one band, any CRS and resolution that covers "
            "the scene) give those values pixel by pixel instead; they are warped onto the scene's grid, and a "
            "map pixel without data masks the output. "
            if map_descriptions
            else ""
        )
        + "Values are checked as TALVEX checks them, and a value it refuses stops the run with its message.</p>"
        "<h3>Outputs</h3><p>Float32 GeoTIFFs of four bands, named after the bands, with the input's CRS and "
        "a mask of the pixels without data, and the run's parameters as metadata. The output format "
        "(advanced) may be a Cloud Optimized GeoTIFF. An output appears under its name only once it is "
        "complete; a cancelled or failed run leaves nothing behind.</p>"
        "<p>The values are those of talvex-geo and TALVEX-V1, bit for bit.</p>"
    )
