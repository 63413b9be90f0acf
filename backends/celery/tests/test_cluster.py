"""The join's state on a local three-master Redis Cluster: the conformance kit and a multi-worker run (exhaustive)."""

from __future__ import annotations

from typing import Any

import pytest

from celery_conformance import CeleryConformance, harnesses
from test_workers import two_workers_run

pytestmark = pytest.mark.exhaustive


class TestCelerySpawnDispatcherOnACluster(CeleryConformance):
    @pytest.fixture
    def spawn_dispatchers(self, cluster_env: dict[str, str]) -> Any:
        return harnesses(cluster_env)


def test_workers_on_a_cluster(cluster_env: dict[str, str], workers: Any) -> None:
    runs = two_workers_run(cluster_env, workers, 9, 6)
    assert set(runs.values()) == {b"1"} and len(runs) >= 9
