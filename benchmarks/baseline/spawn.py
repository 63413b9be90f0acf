"""Spawn dispatcher protocol and in-memory default, in plain Python (benchmark yardstick).

Arguments are tested when the coroutine runs, as an ``async def`` naturally
does; the compiled module tests them at the call.
"""

from __future__ import annotations

from typing import Awaitable, Callable, Optional, Protocol, runtime_checkable

from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen

from ._argcheck import as_float, wrong_type


class ChildResult(dict):
    """Dict-shaped child result. Plain dict so it serializes cleanly for resume.

    Keys:
        child_run_id (str)
        spec (dict — ChildSpec.to_dict())
        output (dict | None)
        error (str | None)
        cost_usd (float)
        tokens (int)
        duration_ms (float)
    """


def _check_enqueue_args(
    parent_run_id, parent_resume_key, specs, timeout_seconds, group_key, tenant_id,
    parent_trace_id, parent_span_id, parent_sub_user_identity,
) -> float:
    if type(timeout_seconds) is not float:
        timeout_seconds = as_float(timeout_seconds)
    if type(parent_run_id) is not str:
        raise wrong_type("parent_run_id", str, parent_run_id)
    if type(parent_resume_key) is not str:
        raise wrong_type("parent_resume_key", str, parent_resume_key)
    if type(specs) is not tuple:
        raise wrong_type("specs", tuple, specs)
    for name, value in (
        ("group_key", group_key),
        ("tenant_id", tenant_id),
        ("parent_trace_id", parent_trace_id),
        ("parent_span_id", parent_span_id),
    ):
        if value is not None and type(value) is not str:
            raise wrong_type(name, str, value)
    if parent_sub_user_identity is not None and type(parent_sub_user_identity) is not dict:
        raise wrong_type("parent_sub_user_identity", dict, parent_sub_user_identity)
    return timeout_seconds


@runtime_checkable
class SpawnDispatcher(Protocol):
    """Enqueue child runs and return their results on resume.

    Runtime defines the shape; infra implements against Celery + Redis.
    """

    async def enqueue_children(
        self,
        *,
        parent_run_id: str,
        parent_resume_key: str,
        specs: tuple[ChildSpec, ...],
        return_when: ReturnWhen,
        timeout_seconds: float,
        group_key: str | None = None,
        tenant_id: str | None = None,
        parent_trace_id: str | None = None,
        parent_span_id: str | None = None,
        parent_sub_user_identity: dict | None = None,
    ) -> list[str]:
        """Enqueue child runs; return their child_run_ids. Non-blocking."""
        _check_enqueue_args(
            parent_run_id, parent_resume_key, specs, timeout_seconds, group_key, tenant_id,
            parent_trace_id, parent_span_id, parent_sub_user_identity,
        )

    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]:
        """Called during parent resume — return completed child results."""
        if type(parent_run_id) is not str:
            raise wrong_type("parent_run_id", str, parent_run_id)
        if type(resume_key) is not str:
            raise wrong_type("resume_key", str, resume_key)


class InMemorySpawnDispatcher:
    """Synchronous, in-process dispatcher. Local dev + tests only."""

    def __init__(self, *, child_runner: Optional[Callable[[ChildSpec], Awaitable[ChildResult]]] = None):
        self._child_runner = child_runner if child_runner else _default_noop_child_runner
        self._pending: dict[str, dict[str, dict[str, ChildResult]]] = {}

    async def enqueue_children(
        self,
        *,
        parent_run_id: str,
        parent_resume_key: str,
        specs: tuple[ChildSpec, ...],
        return_when: ReturnWhen,
        timeout_seconds: float,
        group_key: str | None = None,
        tenant_id: str | None = None,
        parent_trace_id: str | None = None,
        parent_span_id: str | None = None,
        parent_sub_user_identity: dict | None = None,
    ) -> list[str]:
        _check_enqueue_args(
            parent_run_id, parent_resume_key, specs, timeout_seconds, group_key, tenant_id,
            parent_trace_id, parent_span_id, parent_sub_user_identity,
        )
        results: dict[str, ChildResult] = {}
        child_ids: list[str] = []
        for idx, spec in enumerate(specs):
            child_run_id = f"inmem-{parent_run_id}-{parent_resume_key}-{idx}"
            child_ids.append(child_run_id)
            try:
                result = await self._child_runner(spec)
                result["child_run_id"] = child_run_id
                result["spec"] = spec.to_dict()
            except Exception as exc:
                result = ChildResult(
                    child_run_id=child_run_id,
                    spec=spec.to_dict(),
                    output=None,
                    error=str(exc),
                    cost_usd=0.0,
                    tokens=0,
                    duration_ms=0.0,
                )
            results[child_run_id] = result
            if return_when == "first_success" and result.get("output") is not None:
                break
            if return_when == "any":
                break
        self._pending.setdefault(parent_run_id, {})[parent_resume_key] = results
        return child_ids

    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]:
        if type(parent_run_id) is not str:
            raise wrong_type("parent_run_id", str, parent_run_id)
        if type(resume_key) is not str:
            raise wrong_type("resume_key", str, resume_key)
        found = self._pending.get(parent_run_id, {}).pop(resume_key, {})
        if found is not None and type(found) is not dict:
            raise TypeError(f"Expected dict, got {type(found).__name__}")
        return found


async def _default_noop_child_runner(spec: ChildSpec) -> ChildResult:
    """Default fake child runner — returns an empty success.

    Overridden in tests / local dev configs.
    """
    return ChildResult(
        child_run_id="",
        spec=spec.to_dict(),
        output={"_noop": True, "agent": spec.agent},
        error=None,
        cost_usd=0.0,
        tokens=0,
        duration_ms=0.0,
    )
