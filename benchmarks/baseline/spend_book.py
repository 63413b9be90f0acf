"""Spend book of one spawn tree, in plain Python (benchmark yardstick)."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Optional

from ._argcheck import as_float, as_int, wrong_type


class BudgetExceeded(Exception):
    """Raised when a debit or spawn would breach a cap.

    The governance layer handles it, usually translating it into
    ``corlith_runtime.governance.exceptions.PolicyViolationHalt``.
    """

    def __init__(self, reason: str, *, cap_name: str, cap_value: float, would_be: float):
        if type(cap_value) is not float:
            cap_value = as_float(cap_value)
        if type(would_be) is not float:
            would_be = as_float(would_be)
        if type(reason) is not str:
            raise wrong_type("reason", str, reason)
        if type(cap_name) is not str:
            raise wrong_type("cap_name", str, cap_name)
        self.cap_name = cap_name
        self.cap_value = cap_value
        self.would_be = would_be
        super().__init__(reason)


@dataclass
class SpendBook:
    """Caps and spend shared by every run of one spawn tree.

    Caps of 0 mean no cap; negative values are treated as 0. Not thread-safe:
    the runtime serialises access to one book.
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
        if not self.cost_cap_usd > 0:
            return 0.0
        diff = self.cost_cap_usd - self.spent_cost_usd
        return diff if diff > 0.0 else 0.0

    def remaining_tokens(self) -> int:
        if not self.token_cap > 0:
            return 0
        diff = self.token_cap - self.spent_tokens
        left = diff if diff > 0 else 0
        if type(left) is int:
            return left
        if isinstance(left, (int, float)):
            return int(left)
        raise TypeError(f"Expected int, got {type(left).__name__}")

    def debit(self, *, cost_usd: float = 0.0, tokens: int = 0, tool_name: Optional[str] = None) -> None:
        """Record spend. Raises :class:`BudgetExceeded` if any cap breaches.

        Debit after the work has landed (``after_llm_call`` /
        ``after_tool_call``): a breach tells governance to abort the tree at
        its next check rather than refusing work in advance.
        """
        if type(cost_usd) is not float:
            cost_usd = as_float(cost_usd)
        if type(tokens) is not int:
            tokens = as_int("tokens", tokens)
        if tool_name is not None and type(tool_name) is not str:
            raise wrong_type("tool_name", str, tool_name)
        if not tokens > 0:
            tokens = 0
        if not cost_usd > 0.0:
            cost_usd = 0.0
        self.spent_cost_usd += cost_usd
        self.spent_tokens += tokens
        if tool_name:
            counts = self.tool_call_counts
            counts[tool_name] = counts.get(tool_name, 0) + 1
        if self.cost_cap_usd > 0 and self.spent_cost_usd > self.cost_cap_usd:
            raise BudgetExceeded(
                f"tree cost cap breached: spent=${self.spent_cost_usd:.4f} > cap=${self.cost_cap_usd:.4f}",
                cap_name="cost_cap_usd",
                cap_value=self.cost_cap_usd,
                would_be=self.spent_cost_usd,
            )
        if self.token_cap > 0 and self.spent_tokens > self.token_cap:
            raise BudgetExceeded(
                f"tree token cap breached: {self.spent_tokens} > {self.token_cap}",
                cap_name="token_cap",
                cap_value=self.token_cap,
                would_be=self.spent_tokens,
            )

    def check_depth(self, additional: int = 1) -> None:
        """Verify ``current_depth + additional`` stays under ``max_spawn_depth``.

        Raises :class:`BudgetExceeded` on breach; ``current_depth`` is not changed.
        """
        if type(additional) is not int:
            additional = as_int("additional", additional)
        if not self.max_spawn_depth > 0:
            return
        would_be = self.current_depth + additional
        if would_be > self.max_spawn_depth:
            raise BudgetExceeded(
                f"max_spawn_depth breached: would reach depth {would_be} (cap {self.max_spawn_depth})",
                cap_name="max_spawn_depth",
                cap_value=self.max_spawn_depth,
                would_be=would_be,
            )

    def check_fanout(self, count: int) -> None:
        """Verify a group of size ``count`` fits under ``max_spawn_fanout``."""
        if type(count) is not int:
            count = as_int("count", count)
        if not self.max_spawn_fanout > 0:
            return
        if count > self.max_spawn_fanout:
            raise BudgetExceeded(
                f"max_spawn_fanout breached: requested {count} children (cap {self.max_spawn_fanout})",
                cap_name="max_spawn_fanout",
                cap_value=self.max_spawn_fanout,
                would_be=count,
            )

    def check_concurrent(self, additional: int) -> None:
        """Phase 3.8 — verify in-flight children + ``additional`` fits.

        Raises :class:`BudgetExceeded` on breach; ``active_child_count`` is
        not changed. Tenant-level limits are a separate infra policy.
        """
        if type(additional) is not int:
            additional = as_int("additional", additional)
        if not self.max_concurrent_spawns > 0:
            return
        would_be = self.active_child_count + additional
        if would_be > self.max_concurrent_spawns:
            raise BudgetExceeded(
                f"max_concurrent_spawns breached: {self.active_child_count} in flight + "
                f"{additional} requested (cap {self.max_concurrent_spawns})",
                cap_name="max_concurrent_spawns",
                cap_value=self.max_concurrent_spawns,
                would_be=would_be,
            )

    def check_can_afford(self, cost_usd: float) -> None:
        """Pre-flight: will a child with ``cost_usd`` budget fit in what's left?

        The spawn dispatcher calls this before enqueueing, to fail fast.
        """
        if type(cost_usd) is not float:
            cost_usd = as_float(cost_usd)
        if not self.cost_cap_usd > 0:
            return
        would_be = self.spent_cost_usd + cost_usd
        if would_be > self.cost_cap_usd:
            raise BudgetExceeded(
                f"child of ${cost_usd:.4f} wouldn't fit: remaining ${self.remaining_usd():.4f}",
                cap_name="cost_cap_usd",
                cap_value=self.cost_cap_usd,
                would_be=would_be,
            )

    def register_child_spawned(self) -> None:
        """Bookkeeping: called when a child is enqueued."""
        self.active_child_count += 1
        self.cumulative_child_count += 1

    def register_child_completed(self) -> None:
        """Bookkeeping: called when a child terminates (success or failure)."""
        left = self.active_child_count - 1
        self.active_child_count = left if left > 0 else 0

    @classmethod
    def from_guards(cls, guards: list[Any]) -> "SpendBook":
        """Build a book from a list of the SDK's ``Guard`` objects.

        Only abort guards that are hard numeric caps go into the book; the
        infrastructure calls this at run start.
        """
        if type(guards) is not list:
            raise wrong_type("guards", list, guards)
        book = cls()
        for guard in guards:
            kind = getattr(guard, "type", None)
            if getattr(guard, "action", "abort") != "abort":
                continue
            if kind == "cost":
                limit = guard.limit_as_usd()
                if book.cost_cap_usd == 0 or limit < book.cost_cap_usd:
                    book.cost_cap_usd = limit
            elif kind == "token_count":
                limit = guard.limit_as_count()
                if book.token_cap == 0 or limit < book.token_cap:
                    book.token_cap = limit
            elif kind == "spawn_depth":
                book.max_spawn_depth = guard.limit_as_count()
            elif kind == "spawn_fanout":
                book.max_spawn_fanout = guard.limit_as_count()
            elif kind == "spawn_concurrent":
                book.max_concurrent_spawns = guard.limit_as_count()
            elif kind == "wall_time":
                book.wall_time_cap_seconds = guard.limit_as_seconds()
        return book

    def to_trace_data(self) -> dict[str, Any]:
        """Serializable snapshot for trace events + dashboards."""
        return {
            "cost_cap_usd": self.cost_cap_usd,
            "token_cap": self.token_cap,
            "max_spawn_depth": self.max_spawn_depth,
            "max_spawn_fanout": self.max_spawn_fanout,
            "spent_cost_usd": round(self.spent_cost_usd, 6),
            "spent_tokens": self.spent_tokens,
            "current_depth": self.current_depth,
            "active_child_count": self.active_child_count,
            "cumulative_child_count": self.cumulative_child_count,
            "remaining_usd": round(self.remaining_usd(), 6),
            "remaining_tokens": self.remaining_tokens(),
        }
