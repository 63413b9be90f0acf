"""The join's state on a local three-master Redis Cluster: the conformance kit and a multi-worker run (exhaustive)."""

from __future__ import annotations

from typing import Any

import pytest

import children
from celery_conformance import CeleryConformance, harnesses
from test_workers import check, run_tree

pytestmark = pytest.mark.exhaustive


class TestCelerySpawnDispatcherOnACluster(CeleryConformance):
    @pytest.fixture
    def spawn_dispatchers(self, cluster_env: dict[str, str]) -> Any:
        return harnesses(cluster_env)


def test_workers_on_a_cluster(cluster_env: dict[str, str], workers: Any) -> None:
    workers.start("prefork", 1)
    workers.start("solo")
    d, ids = run_tree(cluster_env, 9, 6)
    check(cluster_env, d, ids)
    runs = children.client().hgetall(f"{cluster_env['CORLITH_TEST_PREFIX']}:runs")
    assert set(runs.values()) == {b"1"} and len(runs) >= 9
