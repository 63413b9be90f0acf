from typing import Awaitable as Awaitable, Callable as Callable, Optional as Optional, Protocol as Protocol, runtime_checkable as runtime_checkable

from .exceptions import ChildSpec as ChildSpec, ReturnWhen as ReturnWhen

# Stub-only import, not bound by the module.
from typing import Any

class ChildResult(dict[str, Any]): ...

@runtime_checkable
class SpawnDispatcher(Protocol):
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
    ) -> list[str]: ...
    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]: ...

class InMemorySpawnDispatcher:
    def __init__(self, *, child_runner: Optional[Callable[[ChildSpec], Awaitable[ChildResult]]] = None) -> None: ...
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
    ) -> list[str]: ...
    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]: ...

async def _default_noop_child_runner(spec: ChildSpec) -> ChildResult: ...
