"""The Celery app the test workers run: ``celery -A app worker`` from this directory."""

from __future__ import annotations

import os

from celery import Celery

from corlith_celery import Settings, install

settings = Settings(
    redis_url=os.environ.get("CORLITH_TEST_JOIN_REDIS", os.environ["CORLITH_TEST_REDIS"]),
    cluster="CORLITH_TEST_JOIN_REDIS" in os.environ, prefix=os.environ["CORLITH_TEST_PREFIX"],
    child_runner="children:run", resume_target="children:resume", queue=os.environ["CORLITH_TEST_QUEUE"],
    lease_seconds=float(os.environ.get("CORLITH_TEST_LEASE", "3")), max_attempts=3,
    republish_after_seconds=5.0, redeliver_after_seconds=2.0, reap_interval_seconds=0.5)
app = Celery("corlith_test", broker=os.environ["CORLITH_TEST_REDIS"], set_as_current=False)
install(app, settings)
