"""Waiter records, registry and duration parsing, in plain Python (benchmark yardstick).

The registry's async methods test their arguments when awaited, as an
``async def`` naturally does; the compiled ones test them at the call.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Any, Optional, Protocol, runtime_checkable

from ._argcheck import wrong_type


@dataclass
class SignalWaiter:
    """One parent run awaiting one named signal + match predicate."""

    parent_run_id: str
    resume_key: str
    signal_name: str
    match: dict[str, Any] = field(default_factory=dict)
    timeout_at_unix: float = 0.0

    def matches(self, signal_name: str, payload: dict) -> bool:
        """Shallow equality — every key in ``match`` must equal the
        same key in ``payload``. Payload may carry additional keys.
        """
        if type(signal_name) is not str:
            raise wrong_type("signal_name", str, signal_name)
        if type(payload) is not dict:
            raise wrong_type("payload", dict, payload)
        if signal_name != self.signal_name:
            return False
        for key, expected in self.match.items():
            if payload.get(key) != expected:
                return False
        return True


@dataclass
class TimerWaiter:
    """One parent run awaiting a deliberate timer."""

    parent_run_id: str
    resume_key: str
    resume_at_unix: float


@dataclass
class UserInputWaiter:
    """One parent run awaiting typed user input."""

    parent_run_id: str
    resume_key: str
    question: str
    choices: Optional[list[str]] = None
    timeout_at_unix: float = 0.0


@runtime_checkable
class WaiterRegistry(Protocol):
    """Registry that tracks suspended runs and resolves them."""

    async def register_signal_waiter(self, waiter: SignalWaiter) -> None: ...

    async def register_timer(self, waiter: TimerWaiter) -> None: ...

    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None: ...

    async def resolve_signal(self, *, signal_name: str, payload: dict) -> list[tuple[str, str, dict]]:
        """Check every registered signal waiter for a match."""
        if type(signal_name) is not str:
            raise wrong_type("signal_name", str, signal_name)
        if type(payload) is not dict:
            raise wrong_type("payload", dict, payload)

    async def resolve_user_input(self, *, parent_run_id: str, resume_key: str, response: Any) -> bool:
        """Mark a user-input waiter as resolved."""
        if type(parent_run_id) is not str:
            raise wrong_type("parent_run_id", str, parent_run_id)
        if type(resume_key) is not str:
            raise wrong_type("resume_key", str, resume_key)

    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        """Return ``(parent_run_id, resume_key)`` for every expired timer."""


class InMemoryWaiterRegistry:
    """Synchronous, in-process registry for local dev + tests."""

    def __init__(self, *, clock=None):
        self._clock = clock if clock else time.time
        self._signal_waiters: list[SignalWaiter] = []
        self._timers: list[TimerWaiter] = []
        self._user_inputs: list[UserInputWaiter] = []

    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        self._signal_waiters.append(waiter)

    async def register_timer(self, waiter: TimerWaiter) -> None:
        self._timers.append(waiter)

    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        self._user_inputs.append(waiter)

    async def resolve_signal(self, *, signal_name: str, payload: dict) -> list[tuple[str, str, dict]]:
        """Match every registered signal waiter; remove matched ones;
        return the match records so the caller can resume each parent.
        """
        if type(signal_name) is not str:
            raise wrong_type("signal_name", str, signal_name)
        if type(payload) is not dict:
            raise wrong_type("payload", dict, payload)
        matched: list[tuple[str, str, dict]] = []
        remaining: list[SignalWaiter] = []
        for w in self._signal_waiters:
            if w.matches(signal_name, payload):
                matched.append((w.parent_run_id, w.resume_key, dict(payload)))
            else:
                remaining.append(w)
        self._signal_waiters = remaining
        return matched

    async def resolve_user_input(self, *, parent_run_id: str, resume_key: str, response: Any) -> bool:
        if type(parent_run_id) is not str:
            raise wrong_type("parent_run_id", str, parent_run_id)
        if type(resume_key) is not str:
            raise wrong_type("resume_key", str, resume_key)
        for i, w in enumerate(self._user_inputs):
            if w.parent_run_id == parent_run_id and w.resume_key == resume_key:
                del self._user_inputs[i]
                return True
        return False

    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        now = self._clock()
        expired: list[tuple[str, str]] = []
        remaining: list[TimerWaiter] = []
        for w in self._timers:
            if w.resume_at_unix <= now:
                expired.append((w.parent_run_id, w.resume_key))
            else:
                remaining.append(w)
        self._timers = remaining
        return expired

    def signal_waiter_count(self) -> int:
        return len(self._signal_waiters)

    def timer_count(self) -> int:
        return len(self._timers)

    def user_input_waiter_count(self) -> int:
        return len(self._user_inputs)


_DURATION_UNITS = {"s": 1.0, "m": 60.0, "h": 3600.0, "d": 86400.0}


def parse_duration(value) -> float:
    """Parse a duration spec into seconds.

    Multi-unit strings are summed left-to-right. Raises ``ValueError`` on
    anything unparseable.
    """
    if isinstance(value, (int, float)):
        return float(value)
    if not isinstance(value, str):
        raise ValueError(f"unsupported duration type: {type(value).__name__}")
    s = value.strip().lower()
    if not s:
        raise ValueError("empty duration string")
    total = 0.0
    num_buf = ""
    for ch in s:
        if ch.isdigit() or ch == ".":
            num_buf += ch
        elif ch in _DURATION_UNITS:
            if not num_buf:
                raise ValueError(f"duration unit {ch!r} with no preceding number in {value!r}")
            total += float(num_buf) * _DURATION_UNITS[ch]
            num_buf = ""
        elif ch.isspace():
            continue
        else:
            raise ValueError(f"unrecognized character {ch!r} in duration {value!r}")
    if num_buf:
        total += float(num_buf)
    if total <= 0:
        raise ValueError(f"duration must be positive: {value!r}")
    return total
