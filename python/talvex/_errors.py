"""The one error of the package for run parameters that cannot be used."""

from __future__ import annotations

import re
from typing import Optional

__all__ = ["ParameterError"]

# The library names a field by its member, alone or followed by a
# description ("solarZenithDeg (solar zenith angle, degrees)", "lmin of band
# 2"); the package by the same words in snake case.
_MEMBER = re.compile(r"[A-Za-z]+")
# A line too long for the reader is named by its number, not by a field.
_LINE = re.compile(r"line \d+")


def python_name(library_field: str) -> str:
    """The Python keyword of a field as the processor library names it.

    Parameters
    ----------
    library_field : str
        The field as the library's messages name it, e.g.
        ``"solarZenithDeg (solar zenith angle, degrees)"``.

    Returns
    -------
    str
        The keyword of :class:`talvex.Parameters`, e.g. ``"solar_zenith_deg"``.

    Examples
    --------
    >>> python_name("waterVapourColumn (water vapour amount)")
    'water_vapour_column'
    """
    member = _MEMBER.match(library_field)
    if member is None or _LINE.fullmatch(library_field):
        return library_field
    return re.sub(r"(?<!^)([A-Z])", r"_\1", member.group(0)).lower()


class ParameterError(ValueError):
    """Run parameters that cannot be read or used.

    A ``ValueError``, so code that catches that keeps working.

    Parameters
    ----------
    message : str
        The whole message.
    field : str, optional
        The keyword of :class:`talvex.Parameters` that is wrong, e.g.
        ``"ozone_column"``.
    line : int, optional
        For a parameter file, the line of the file (counted from 1) where
        reading failed.
    library_field : str, optional
        The field as the processor library names it; gives ``field`` when
        that is not given.

    Attributes
    ----------
    field : str or None
        The keyword of the wrong field, ``None`` when no one field is wrong.
    line : int or None
        The line of the parameter file, ``None`` for keywords and for values
        that were read but are out of range.

    Examples
    --------
    >>> error = ParameterError("ozone_column must be a number", field="ozone_column")
    >>> isinstance(error, ValueError), error.field, error.line
    (True, 'ozone_column', None)
    """

    def __init__(
        self,
        message: str,
        field: Optional[str] = None,
        line: Optional[int] = None,
        *,
        library_field: Optional[str] = None,
    ) -> None:
        super().__init__(message)
        if field is None and library_field is not None and not _LINE.fullmatch(library_field):
            field = python_name(library_field)
        self.field = field
        self.line = line

    __module__ = "talvex"  # where users find it

    def __reduce__(self):
        return (type(self), (str(self), self.field, self.line))
