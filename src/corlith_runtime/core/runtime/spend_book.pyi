"""Spend book: the caps and running spend that one spawn tree shares.

A root agent run and every child run it (or its children) start through
``ctx.spawn()`` share one :class:`SpendBook`, so that a confused orchestrator
cannot spawn specialists without bound and spend unnoticed. The book holds
the tree-wide caps (USD, tokens, wall time, spawn depth, fan-out and
concurrency), what has been spent so far, and the live and cumulative child
counts. Breaching a cap raises :class:`BudgetExceeded`.

This module owns only the shape and the arithmetic; infra persists the root
book between suspensions so a resumed parent keeps its remaining budget.
"""

from dataclasses import dataclass, field
from typing import Any, Optional, TypedDict, type_check_only

class BudgetExceeded(Exception):
    """Raised when a debit or spawn would breach a cap.

    The governance layer handles it, usually translating it into
    ``corlith_runtime.governance.exceptions.PolicyViolationHalt`` so the
    run envelope records the violation with full context.
    """
    cap_name: str
    cap_value: float
    would_be: float
    def __init__(self, reason: str, *, cap_name: str, cap_value: float, would_be: float) -> None:
        """Carry the breach message and which cap fired, its value and the amount that would have resulted."""

@type_check_only
class _TraceData(TypedDict):
    """The keys of ``SpendBook.to_trace_data()``, in its order, with their value types."""
    cost_cap_usd: float
    token_cap: int
    max_spawn_depth: int
    max_spawn_fanout: int
    spent_cost_usd: float
    spent_tokens: int
    current_depth: int
    active_child_count: int
    cumulative_child_count: int
    remaining_usd: float
    remaining_tokens: int

@dataclass
class SpendBook:
    """Caps, spend and child counts of one spawn tree.

    Caps of 0 mean "no cap". Negative values are treated as 0 to avoid
    sign errors in downstream arithmetic.

    Not thread-safe on its own: the runtime serialises access to one book
    per workflow, and infra's persister coordinates across workers.
    """
    cost_cap_usd: float = 0.0
    token_cap: int = 0
    wall_time_cap_seconds: float = 0.0
    max_spawn_depth: int = 3
    max_spawn_fanout: int = 10
    max_concurrent_spawns: int = 20
    spent_cost_usd: float = 0.0
    spent_tokens: int = 0
    started_at_monotonic: float = 0.0
    current_depth: int = 0
    active_child_count: int = 0
    cumulative_child_count: int = 0
    tool_call_counts: dict[str, int] = field(default_factory=dict)
    def remaining_usd(self) -> float:
        """USD budget left before the cost cap fires. 0 if uncapped."""
    def remaining_tokens(self) -> int:
        """Tokens left before the token cap fires. 0 if uncapped."""
    def debit(self, *, cost_usd: float = 0.0, tokens: int = 0, tool_name: Optional[str] = None) -> None:
        """Record spend. Raises :class:`BudgetExceeded` if any cap breaches.

        Call after the work has landed (from the runtime's
        ``after_llm_call`` / ``after_tool_call`` hooks): a breach then
        tells governance after the fact to abort the tree at its next
        check, instead of refusing work in advance.
        """
    def check_depth(self, additional: int = 1) -> None:
        """Verify ``current_depth + additional`` stays under ``max_spawn_depth``.

        Raises :class:`BudgetExceeded` on breach. Does not change
        ``current_depth``: callers raise it after a child actually runs.
        """
    def check_fanout(self, count: int) -> None:
        """Verify a group of size ``count`` fits under ``max_spawn_fanout``."""
    def check_concurrent(self, additional: int) -> None:
        """Phase 3.8 — verify in-flight children + ``additional`` fits
        under ``max_concurrent_spawns``.

        Raises :class:`BudgetExceeded` on breach. Does not change
        ``active_child_count``. This is the agent-level cap; tenant-level
        concurrency is a separate infra policy (``SpawnLimitHandler``, a
        Redis counter scoped to tenant, optional agent and optional
        workflow) applied on top of this check.
        """
    def check_can_afford(self, cost_usd: float) -> None:
        """Pre-flight: will a child with ``cost_usd`` budget fit in what's left?

        The spawn dispatcher calls this before enqueueing, to fail fast.
        """
    def register_child_spawned(self) -> None:
        """Bookkeeping: called when a child is enqueued."""
    def register_child_completed(self) -> None:
        """Bookkeeping: called when a child terminates (success or failure)."""
    @classmethod
    def from_guards(cls, guards: list[Any]) -> SpendBook:
        """Build a book from a list of the SDK's ``Guard`` objects.

        Only guards that are hard numeric caps, checkable on every debit
        or spawn, go into the book: those whose ``action`` is "abort"
        (a guard without an action counts as one). Other actions and
        guard types are accepted silently; policy handlers enforce them.

        "cost" and "token_count" guards never loosen a cap: while the
        cap is unset (0 or below) a guard's limit becomes the cap; once
        it is set, a limit replaces it only when that limit is positive
        and smaller. For "spawn_depth", "spawn_fanout",
        "spawn_concurrent" and "wall_time" the last guard wins.

        Infra calls this at run start and attaches the book to the run's
        ``ExecutionContext``.
        """
    def to_trace_data(self) -> _TraceData:
        """Serializable snapshot for trace events + dashboards."""
