"""Argument tests that mirror the compiled modules' strict checks.

The protocol methods of the compiled defaults refuse a ``str`` subclass where
``str`` is annotated and convert any number where ``int`` is annotated; the
implementations here behave the same so that swapping one for another never
changes which calls fail.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable, Coroutine
from typing import Any, ParamSpec, TypeVar, cast

_SUBCLASS_NOTE = (
    "Subclasses of builtin types are rejected here: this check is deliberately"
    " stricter than PEP 484 type hints, which admit them."
)

P = ParamSpec("P")
R = TypeVar("R")


def incorrect_type(name: str, expected: type, value: object, *, note: bool = True) -> TypeError:
    """The TypeError the compiled modules raise for a wrongly typed argument."""
    error = TypeError(
        f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
    )
    if note and isinstance(value, expected):
        error.add_note(_SUBCLASS_NOTE)
    return error


def require_exact(name: str, value: object, expected: type) -> None:
    """Raise unless ``value``'s type is exactly ``expected``."""
    if type(value) is not expected:
        raise incorrect_type(name, expected, value)


def as_int(name: str, value: object) -> int:
    """Convert a number the way an ``int`` annotation does; refuse anything else."""
    if type(value) is int:
        return value
    if isinstance(value, complex) or any(
        hasattr(type(value), slot) for slot in ("__index__", "__int__", "__float__")
    ):
        return int(cast(Any, value))
    raise incorrect_type(name, int, value, note=False)


def eager_checks(
    **expected: type,
) -> Callable[[Callable[P, Coroutine[Any, Any, R]]], Callable[P, Coroutine[Any, Any, R]]]:
    """Test the named arguments of an ``async def`` when it is called, not when awaited.

    A wrong call raises at once and no coroutine is created, as with the
    compiled registry; the wrapper still reports itself as a coroutine function.
    """

    def decorate(fn: Callable[P, Coroutine[Any, Any, R]]) -> Callable[P, Coroutine[Any, Any, R]]:
        signature = inspect.signature(fn)

        @functools.wraps(fn)
        def checked(*args: P.args, **kwargs: P.kwargs) -> Coroutine[Any, Any, R]:
            arguments = signature.bind(*args, **kwargs).arguments
            for name, kind in expected.items():
                require_exact(name, arguments[name], kind)
            return fn(*args, **kwargs)

        return inspect.markcoroutinefunction(checked)

    return decorate
