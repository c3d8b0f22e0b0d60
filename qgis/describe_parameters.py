"""Writes the run-parameter fields the QGIS plugin shows, as JSON.

Run at build time with the Python package ``talvex`` importable. The fields,
their order and their kinds come from :class:`talvex.Parameters`; their
defaults are the values of the example parameter file, read by
:func:`talvex.read_parameters`. The plugin reads only this description, so
that it needs neither the Python package nor a second copy of any field.

Usage: describe_parameters.py EXAMPLE_PARAMETER_FILE OUTPUT_JSON
"""

from __future__ import annotations

import dataclasses
import json
import sys
from typing import Any, Dict, List

import numpy as np

import talvex

# Fields that the plugin does not show as such: the scene size comes from the
# raster, and the correction option from the algorithm that runs.
_SIZE_FIELDS = ("line_count", "sample_count")
_OPTION_FIELD = "correction_option"


def _shortest(value: Any) -> Any:
    """A stored value as the shortest number that reads back to it."""
    if isinstance(value, np.floating):
        # str() of a 32-bit float is the shortest decimal that rounds back
        # to it, e.g. 38.6 rather than 38.599998474121094.
        return float(str(value))
    return int(value)


def describe(example_path: str) -> Dict[str, Any]:
    """The description of every field, in the order of the parameter stream."""
    example = talvex.read_parameters(example_path)
    fields: List[Dict[str, Any]] = []
    for field in dataclasses.fields(talvex.Parameters):
        value = getattr(example, field.name)
        if field.name in _SIZE_FIELDS:
            role = "size"
        elif field.name == _OPTION_FIELD:
            role = "option"
        elif isinstance(value, tuple):
            role = "band"
        else:
            role = "value"
        entry: Dict[str, Any] = {
            "name": field.name,
            "role": role,
            # Fields without a default are needed by every run; the others
            # only when the run corrects for the atmosphere.
            "correction_only": role == "value" and field.default is None,
        }
        # The unit, where the package's field carries one.
        if field.metadata.get("unit"):
            entry["unit"] = str(field.metadata["unit"])
        if role == "band":
            entry["default"] = [_shortest(v) for v in value]
            entry["type"] = "float"
        elif value is not None:
            entry["default"] = _shortest(value)
            entry["type"] = "int" if isinstance(entry["default"], int) else "float"
        fields.append(entry)
    return {
        "bands": list(talvex.BANDS),
        "correction_off": int(talvex.CORRECTION_OFF),
        "correction_on": int(talvex.CORRECTION_ON),
        "fields": fields,
    }


def main(argv: List[str]) -> int:
    if len(argv) != 3:
        sys.stderr.write(__doc__.rsplit("\n\n", 1)[-1] + "\n")
        return 2
    description = describe(argv[1])
    with open(argv[2], "w", encoding="utf-8") as out:
        json.dump(description, out, indent=1)
        out.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
