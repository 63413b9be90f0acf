"""Phase 1.1 — spawn dispatcher protocol + in-memory default.

Contract between runtime and infra:

- The runtime raises :class:`~corlith_runtime.core.runtime.exceptions.SpawnAwaited`
  when ``ctx.spawn()`` / ``ctx.spawn_many()`` is called.
- The envelope catches it and persists parent state.
- Infra's :class:`SpawnDispatcher` implementation enqueues the child runs
  (typically via Celery) and arranges resume signalling.
- On resume, the parent re-enters with
  ``ctx.inputs["spawn_results"][resume_key]`` populated — a dict mapping
  child_run_id → typed child output.

Runtime ships :class:`InMemorySpawnDispatcher` as a default for local dev
and tests. It runs child specs synchronously inline (no real distribution,
no Redis). Production config (``RuntimeConfig.configure(spawn_dispatcher=...)``)
swaps in the infra implementation.

See docs/RUNTIME_EMERGENCE_PLAN.md §4.1.
"""

from collections.abc import Awaitable, Callable
from typing import Any, Optional, Protocol, TypedDict, runtime_checkable

from .exceptions import ChildSpec, ReturnWhen

class ChildResult(TypedDict):
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
    child_run_id: str
    spec: dict[str, Any]
    output: dict[str, Any] | None
    error: str | None
    cost_usd: float
    tokens: int
    duration_ms: float

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
        parent_sub_user_identity: dict[Any, Any] | None = None,
    ) -> list[str]:
        """Enqueue child runs; return their child_run_ids. Non-blocking.

        The parent is already suspended; the dispatcher's job is to
        (a) mint run ids, (b) start the work, (c) arrange a resume
        signal when ``return_when`` is satisfied.

        ``group_key`` — when provided, overrides the default dedup key
        derived from ``(parent_run_id, parent_resume_key)``. Two calls
        with the same ``group_key`` (even from different parent runs)
        collapse to one group, returning the original child_run_ids
        without re-dispatching.

        ``tenant_id`` — the parent's tenant. Infra implementations need
        it to look up the child agent's TenantAgent record and populate
        ``agent_id`` / ``_tenant_id`` in child inputs so the Celery
        launcher accepts them. The in-memory default ignores it.

        ``parent_trace_id`` / ``parent_span_id`` — hex-encoded OTel
        identifiers for the parent's current span. The dispatcher
        injects these into each child's inputs as ``_trace_id`` and
        ``_signal_span_id`` (same keys the signal-dispatch path uses);
        the supervisor instrumentation picks them up to nest the child
        span under the parent, so multi-level spawn chains render as a
        single trace tree in the UI.

        ``parent_sub_user_identity`` — the parent's ``_sub_user_identity``
        dict (or None). Infra implementations inject this into each
        child's inputs as ``_sub_user_identity`` so the child envelope
        rehydrates its ExecutionContext with the same end-user identity,
        and downstream domain calls emit the signed per-user-auth header
        when the tenant has ``per_user_auth_enabled=True``. Without this,
        children silently fall through to tenant-level credentials.
        """
    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]:
        """Called during parent resume — return completed child results.

        Keyed by child_run_id. Contents satisfy the ``return_when``
        clause the dispatcher honored when signalling resume.
        """

class InMemorySpawnDispatcher:
    """Synchronous, in-process dispatcher. Local dev + tests only.

    Does NOT actually suspend the parent — the envelope catch still
    fires, but ``collect_results`` immediately returns the pre-computed
    child results. Production deployments configure the infra
    implementation (Celery-backed) instead.

    Takes a ``child_runner`` callable that, given a ChildSpec, returns a
    ChildResult awaitable. Tests supply fakes; real local dev could wire
    in something that runs the agent spec synchronously.
    """
    def __init__(self, *, child_runner: Optional[Callable[[ChildSpec], Awaitable[ChildResult]]] = None) -> None:
        """Run children through ``child_runner`` (default: an empty success for each)."""
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
        parent_sub_user_identity: dict[Any, Any] | None = None,
    ) -> list[str]:
        """Run the children inline, in order, until ``return_when`` holds; store their records and return their run ids.

        A child runner's exception becomes an error record; cancellation
        propagates and stores nothing.
        """
    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]:
        """Hand back the records stored for this parent and resume key, and forget them."""

async def _default_noop_child_runner(spec: ChildSpec) -> ChildResult:
    """Default fake child runner — returns an empty success.

    Overridden in tests / local dev configs.
    """
