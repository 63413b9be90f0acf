"""Failure paths of the argument tests.

The hot paths test exact types inline (``type(x) is str``) the way the
compiled modules do; only the error construction is shared here, so the
happy path pays for no extra call.
"""

from __future__ import annotations

_SUBCLASS_NOTE = (
    "Subclasses of builtin types are rejected: this argument check is "
    "stricter than PEP 484 type hints."
)


def wrong_type(name: str, expected: type, value: object) -> TypeError:
    exc = TypeError(
        f"Argument '{name}' has incorrect type "
        f"(expected {expected.__name__}, got {type(value).__name__})"
    )
    if isinstance(value, expected):
        exc.add_note(_SUBCLASS_NOTE)
    return exc


def as_int(name: str, value: object) -> int:
    """The "int" rule: another number goes through int(); a non-number is refused."""
    if isinstance(value, int):
        return int(value)
    kind = type(value)
    if any(hasattr(kind, m) for m in ("__index__", "__int__", "__float__", "__complex__")):
        return int(value)  # type: ignore[call-overload]
    raise TypeError(
        f"Argument '{name}' has incorrect type (expected int, got {kind.__name__})"
    )


def as_float(value: object) -> float:
    """The "float" rule: any real number; text is never parsed."""
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(f"must be real number, not {type(value).__name__}")
    return float(value)  # type: ignore[arg-type]
