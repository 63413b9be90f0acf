"""Calls that the runtime refuses and mypy must refuse too.

Each wrong line ends with a marker comment naming the mypy error codes it must
produce; tests/test_typing.py expects exactly those errors on exactly those
lines, and nothing else.
"""

from __future__ import annotations

from typing import Literal

from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from corlith_runtime.core.runtime.exit_triage import classify_failure
from corlith_runtime.core.runtime.policy import NoOpPolicyProvider
from corlith_runtime.core.runtime.spawn import ChildResult, InMemorySpawnDispatcher
from corlith_runtime.core.runtime.spend_book import BudgetExceeded, SpendBook
from corlith_runtime.core.runtime.waiters import InMemoryWaiterRegistry, SignalWaiter


async def runner(spec: ChildSpec) -> ChildResult:
    return ChildResult(child_run_id="c", spec=spec.to_dict(), output=None, error="failed",
                       cost_usd=0.0, tokens=0, duration_ms=0.0)


async def wrong_calls(book: SpendBook) -> None:
    book.debit(0.5)  # E: call-arg
    book.check_fanout()  # E: call-arg
    BudgetExceeded("over", "token_cap", 1.0, 2.0)  # E: call-arg
    SpendBook.from_guards((1, 2))  # E: arg-type
    SignalWaiter("p", "k", "s").matches("s", None)  # E: arg-type
    await InMemoryWaiterRegistry().resolve_signal("s", {})  # E: call-arg
    InMemorySpawnDispatcher(runner)  # E: call-arg
    await InMemorySpawnDispatcher().enqueue_children(  # E: call-arg
        parent_run_id="p",
        parent_resume_key="k",
        specs=[ChildSpec("a")],  # E: arg-type
        return_when=ReturnWhen.ALL,
    )
    classify_failure(None)  # E: arg-type
    NoOpPolicyProvider().get_policy(name=1)  # E: arg-type
    book.to_trace_data()["tool_call_counts"]  # E: typeddict-item
    ChildResult(child_run_id="c", spec={}, output=None, error=None)  # E: typeddict-item
    reason: Literal["unknown"] = classify_failure({})  # E: assignment
