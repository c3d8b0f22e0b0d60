# Types of the extension talvex._talvex for type checkers: the constants
# that the package's public names are made from. The functions are the
# package's own business and stay untyped here.
from typing import Any, Dict, Tuple

__version__: str
FIRST_BAND: int
LAST_BAND: int
BAND_COUNT: int
BAND_COLOURS: Tuple[str, ...]
DN_VALUES: int
CORRECTION_OFF: int
CORRECTION_ON: int
MAP_ELEVATION_STEP_METRES: float
MAP_AEROSOL_DEPTH_STEP: float
PARAMETER_FIELDS: Tuple[Dict[str, Any], ...]

def __getattr__(name: str) -> Any: ...
