"""The spawn dispatcher conformance kit, children run in this process in position order."""

from __future__ import annotations

from celery_conformance import CeleryConformance


class TestCelerySpawnDispatcher(CeleryConformance):
    pass
