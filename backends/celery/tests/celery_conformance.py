"""The spawn dispatcher conformance kit over this dispatcher, children run in the test process in position order."""

from __future__ import annotations

import asyncio
import contextlib
from collections.abc import AsyncIterator
from typing import Any

import pytest

from corlith_celery import CelerySpawnDispatcher
from corlith_celery.worker import _run_child
from corlith_redis.conformance import SpawnDispatcherConformance, SpawnHarness

from test_join import make


def drive(d: CelerySpawnDispatcher, parent_run_id: str, resume_key: str) -> None:
    """Run every child of the pair's group here, as a worker would."""
    join = d.join
    ref = join.ref_of(parent_run_id, resume_key)
    for position in range(int(join.client.hget(join.keys(ref)["meta"], "n") or 0)):
        _run_child(join, ref, position)


def harnesses(env: dict[str, str]) -> Any:
    @contextlib.asynccontextmanager
    async def open_() -> AsyncIterator[SpawnHarness]:
        d = make(env)

        async def settle(parent_run_id: str, resume_key: str) -> None:
            await asyncio.to_thread(drive, d, parent_run_id, resume_key)

        yield SpawnHarness(lambda: CelerySpawnDispatcher(d.join.app, d.join.settings), settle)

    return open_


class CeleryConformance(SpawnDispatcherConformance):
    # Every protocol latitude taken the production way: records stay until the
    # parent acknowledges, every child has an id at enqueue, group keys dedup,
    # trace and identity fields reach the children.
    @pytest.fixture
    def spawn_dispatchers(self, env: dict[str, str]) -> Any:
        return harnesses(env)
