"""Argument names of the previous release, kept for a while with a DeprecationWarning."""

import warnings
from typing import Any, Dict


def renamed(function: str, given: Dict[str, Any], names: Dict[str, str],
            stacklevel: int = 3) -> Dict[str, Any]:
    """The values of `given` (keyword arguments under former names) by their new names, each
    with a DeprecationWarning that points at the caller's line. An unknown name is the
    TypeError Python would raise."""
    values = {}
    for name, value in given.items():
        if name not in names:
            raise TypeError(f"{function}() got an unexpected keyword argument {name!r}")
        warnings.warn(f"{function}({name}=...) is now {function}({names[name]}=...); the old "
                      "name goes in a later release", DeprecationWarning, stacklevel=stacklevel)
        values[names[name]] = value
    return values
