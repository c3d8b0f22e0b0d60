"""TALVEX from Python: raw four-band DN arrays to top-of-atmosphere and
surface reflectance, equal bit for bit to what TALVEX-V1 writes.

    import numpy as np
    import talvex

    params = talvex.read_parameters("my-parameters.txt")
    dn = np.fromfile("scene.dn", dtype="<u2").reshape(4, lines, samples)
    toa = talvex.toa_reflectance(dn, params)
    surface = talvex.surface_reflectance(dn, params)

:mod:`talvex.xarray` corrects xarray DataArrays, lazily with Dask.
"""

from ._errors import ParameterError
from ._parameters import (
    BANDS,
    CORRECTION_OFF,
    CORRECTION_ON,
    PARAMETER_FIELDS,
    BandValues,
    Number,
    Parameters,
    read_parameters,
)
from ._reflectance import BandTerms, band_terms, surface_reflectance, toa_reflectance
from ._talvex import __version__

__all__ = [
    "BANDS",
    "CORRECTION_OFF",
    "CORRECTION_ON",
    "PARAMETER_FIELDS",
    "BandTerms",
    "BandValues",
    "Number",
    "ParameterError",
    "Parameters",
    "__version__",
    "band_terms",
    "read_parameters",
    "surface_reflectance",
    "toa_reflectance",
]
