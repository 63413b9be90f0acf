"""Spawn children as Celery tasks, join them in Redis, resume the parent exactly once.

``CelerySpawnDispatcher`` satisfies the runtime's ``SpawnDispatcher``;
``install`` configures a Celery app (workers, Beat and enqueuers alike);
``TreeBook`` is a spawn tree's SpendBook shared through Redis.
"""

from ._join import Settings, child_run_id, dedup_ref
from .book import TreeBook
from .dispatcher import CelerySpawnDispatcher
from .worker import celery_config, install, join_for, sweep_and_resume

__all__ = ["CelerySpawnDispatcher", "Settings", "TreeBook", "celery_config", "child_run_id", "dedup_ref",
           "install", "join_for", "sweep_and_resume"]
