"""The one error of the package for run parameters that cannot be used."""

from __future__ import annotations

from typing import Optional

__all__ = ["ParameterError"]


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
        self, message: str, field: Optional[str] = None, line: Optional[int] = None
    ) -> None:
        super().__init__(message)
        self.field = field
        self.line = line

    __module__ = "talvex"  # where users find it

    def __reduce__(self):
        return (type(self), (str(self), self.field, self.line))
