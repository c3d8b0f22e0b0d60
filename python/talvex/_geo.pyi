# The extension talvex._geo (talvex-geo's conversion), for type checkers:
# talvex.geo wraps it and carries the types.
from typing import Any

def __getattr__(name: str) -> Any: ...
