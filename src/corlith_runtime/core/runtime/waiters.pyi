"""Phase 1.2 — waiter registry protocol + in-memory default.

Three suspension types converge on this registry:

- **Signal waiters** (``ctx.wait_for_signal``) — parent waits for a
  signal whose payload satisfies a shallow-equality match predicate.
- **Timers** (``ctx.sleep``) — parent waits until a wall-clock time.
- **User-input waiters** (``ctx.ask_user``) — parent waits for typed
  user input.

The runtime defines the registry shape. Infra implements it with Redis
(for durable state across workers) + Celery Beat (for timer sweeping) +
hooks into the existing signal handler.

The default in-memory implementation is sufficient for local dev + unit
tests. It's intentionally NOT thread-safe — production workloads go
through infra.

See docs/RUNTIME_EMERGENCE_PLAN.md §4.2.
"""

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Optional, Protocol, runtime_checkable

@dataclass
class SignalWaiter:
    """One parent run awaiting one named signal + match predicate."""
    parent_run_id: str
    resume_key: str
    signal_name: str
    match: dict[str, Any] = field(default_factory=dict)
    timeout_at_unix: float = 0.0
    def matches(self, signal_name: str, payload: dict[Any, Any]) -> bool:
        """Shallow equality — every key in ``match`` must equal the
        same key in ``payload``. Payload may carry additional keys.
        """

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
    """Registry that tracks suspended runs and resolves them.

    Infra implements with Redis persistence + Celery Beat timer sweep +
    signal-handler integration. Runtime provides the in-memory default
    for local dev and tests.
    """
    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        """Suspend a parent run until a matching signal arrives."""
    async def register_timer(self, waiter: TimerWaiter) -> None:
        """Suspend a parent run until its ``resume_at_unix``."""
    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        """Suspend a parent run until the user answers its question."""
    async def resolve_signal(self, *, signal_name: str, payload: dict[Any, Any]) -> list[tuple[str, str, dict[Any, Any]]]:
        """Check every registered signal waiter for a match.

        Returns list of ``(parent_run_id, resume_key, payload)`` tuples
        for every waiter that matched. Caller is responsible for
        triggering parent resume for each.
        """
    async def resolve_user_input(self, *, parent_run_id: str, resume_key: str, response: Any) -> bool:
        """Mark a user-input waiter as resolved.

        Returns True if a matching waiter existed. Caller arranges the
        parent resume with the response value.
        """
    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        """Return ``(parent_run_id, resume_key)`` for every timer whose
        ``resume_at_unix`` is in the past. Caller arranges parent resume.
        """

class InMemoryWaiterRegistry:
    """Synchronous, in-process registry for local dev + tests.

    Does NOT persist across process restarts — production deployments
    configure the infra Redis-backed implementation instead.
    """
    # Unannotated at runtime; any falsy value selects time.time.
    def __init__(self, *, clock: Optional[Callable[[], float]] = None) -> None:
        """Start empty; ``clock`` gives the current Unix time for timer sweeps (default ``time.time``)."""
    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        """Keep the waiter until a ``resolve_signal`` call matches it."""
    async def register_timer(self, waiter: TimerWaiter) -> None:
        """Keep the timer until a sweep finds it due."""
    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        """Keep the waiter until ``resolve_user_input`` names its run and resume key."""
    async def resolve_signal(self, *, signal_name: str, payload: dict[Any, Any]) -> list[tuple[str, str, dict[Any, Any]]]:
        """Match every registered signal waiter; remove matched ones;
        return the match records so the caller can resume each parent.
        """
    async def resolve_user_input(self, *, parent_run_id: str, resume_key: str, response: Any) -> bool:
        """Remove the first waiter of this run and resume key; True if there was one."""
    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        """Remove the timers due by the clock's reading and return their ``(parent_run_id, resume_key)``."""
    def signal_waiter_count(self) -> int:
        """Number of signal waiters held."""
    def timer_count(self) -> int:
        """Number of timers held."""
    def user_input_waiter_count(self) -> int:
        """Number of user-input waiters held."""

_DURATION_UNITS: dict[str, float]

# Unannotated at runtime; numbers pass through as seconds, text is parsed.
def parse_duration(value: float | str) -> float:
    """Parse a duration spec into seconds.

    Accepts:
      - ``int`` or ``float`` → seconds as-is
      - ``"30s"`` → 30.0
      - ``"5m"`` → 300.0
      - ``"1h"`` → 3600.0
      - ``"2h30m"`` → 9000.0
      - ``"1d"`` → 86400.0

    Multi-unit strings are summed left-to-right. Raises ``ValueError`` on
    anything unparseable.
    """
