"""Waiting on conditions, never on fixed sleeps."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any


def wait_until(condition: Callable[[], Any], *, seconds: float = 120.0, what: str = "condition") -> Any:
    """Poll ``condition`` until it is truthy; fail after a generous deadline."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)
