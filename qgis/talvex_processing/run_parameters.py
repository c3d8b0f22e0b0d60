"""The run parameters as fields of an algorithm, and the parameter file that
talvex-geo reads made from them.

Which fields there are, in which order, of which kind, unit and description,
and with which default, comes from ``parameter_fields.json``, written when
the plugin is built from the processor library's table of fields and the
example parameter file.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Dict, List, Mapping, Tuple, Union

FIELDS_FILE = os.path.join(os.path.dirname(__file__), "parameter_fields.json")

Number = Union[int, float]


@dataclass(frozen=True)
class Field:
    """One value the user gives: a field of the run parameters, for one band
    when the field has a value per band."""

    name: str  # the field's name in the Python package, e.g. solar_zenith_deg
    band: int  # the band number, 0 for a field that is not per band
    is_integer: bool
    default: Number
    correction_only: bool
    description: str = ""  # what it is, e.g. "solar zenith angle"
    unit: str = ""  # empty for a count, a code or a dimensionless value

    @property
    def key(self) -> str:
        """The name of the algorithm's parameter, e.g. LMAX_BAND2."""
        return self.name.upper() + (f"_BAND{self.band}" if self.band else "")

    @property
    def label(self) -> str:
        """The field as the dialog names it, with its band and unit, e.g.
        "lmax of band 2: top radiance of the DN scale (mW/(cm2 sr um))"."""
        return self.label_for(f"band {self.band}")

    def label_for(self, bands: str) -> str:
        """The label, with ``bands`` naming the band of a per-band field."""
        if self.band:
            text = f"{self.name} of {bands}: {self.description}"
        else:
            text = self.description[:1].upper() + self.description[1:]
        return f"{text} ({self.unit})" if self.unit else text


@dataclass(frozen=True)
class FieldTable:
    """Every field of a parameter file, as the plugin was built with."""

    bands: Tuple[int, ...]
    correction_off: int
    correction_on: int
    entries: Tuple[dict, ...]  # the description of each field, in stream order
    toa_output_suffix: str  # what talvex-geo puts after the base name of each output
    surface_output_suffix: str
    # talvex-geo's exit status when the correction option is neither off nor
    # on: the top-of-atmosphere output is complete, the surface one not made.
    status_toa_only: int

    def fields(self, correcting: bool) -> List[Field]:
        """The fields a user gives for a run with or without correction, in
        the order of the parameter file: the per-band values band by band."""
        result: List[Field] = []
        per_band: List[dict] = []
        for entry in self.entries + ({"role": "end"},):
            if entry["role"] == "band":
                per_band.append(entry)
                continue
            for i, band in enumerate(self.bands):
                for band_entry in per_band:
                    result.append(_field(band_entry, band, band_entry["default"][i]))
            per_band = []
            if entry["role"] == "value" and (correcting or not entry["correction_only"]):
                result.append(_field(entry, 0, entry["default"]))
        return result

    def parameter_text(
        self, lines: int, samples: int, correcting: bool, values: Mapping[str, Number]
    ) -> str:
        """A parameter file, laid out as the example's: the scene size on the
        first line, one line per band with that band's values, then one value
        a line.

        Parameters
        ----------
        lines, samples
            The scene's size.
        correcting
            Whether the run corrects for the atmosphere.
        values
            The value of every field of :meth:`fields`, by its key.
        """
        option = self.correction_on if correcting else self.correction_off
        size = iter((lines, samples))
        size_line: List[str] = []
        per_band: Dict[int, List[str]] = {band: [] for band in self.bands}
        single: List[str] = []
        for entry in self.entries:
            role = entry["role"]
            if role == "size":
                size_line.append(str(next(size)))
            elif role == "option":
                single.append(str(option))
            elif role == "band":
                for band in self.bands:
                    per_band[band].append(
                        _number(values[Field(entry["name"], band, False, 0, False).key])
                    )
            elif correcting or not entry["correction_only"]:
                single.append(_number(values[entry["name"].upper()]))
        rows = [" ".join(size_line)] + [" ".join(per_band[band]) for band in self.bands] + single
        return "\n".join(rows) + "\n"


def _field(entry: dict, band: int, default: Number) -> Field:
    return Field(
        entry["name"],
        band,
        entry["type"] == "int",
        default,
        entry["correction_only"],
        entry["description"],
        entry["unit"],
    )


def _number(value: Number) -> str:
    """A value as the shortest text that reads back to it exactly."""
    if isinstance(value, bool):
        raise TypeError("a parameter value cannot be a truth value")
    if isinstance(value, int):
        return str(value)
    return repr(float(value))


def load_field_table(path: str = FIELDS_FILE) -> FieldTable:
    """Reads the description of the fields written when the plugin was built."""
    with open(path, encoding="utf-8") as stream:
        description = json.load(stream)
    return FieldTable(
        bands=tuple(description["bands"]),
        correction_off=description["correction_off"],
        correction_on=description["correction_on"],
        entries=tuple(description["fields"]),
        toa_output_suffix=description["toa_output_suffix"],
        surface_output_suffix=description["surface_output_suffix"],
        status_toa_only=description["status_toa_only"],
    )
