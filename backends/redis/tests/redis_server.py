"""Throw-away redis-servers on free loopback ports, each in its own directory: one alone, or three as a cluster."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from typing import Any

import redis
import redis.asyncio

from corlith_redis import async_client, async_cluster_client, sync_client, sync_cluster_client


def clients(cluster: bool) -> tuple[Any, Any]:
    """The (async, sync) client constructors for a single server or a cluster."""
    return (async_cluster_client, sync_cluster_client) if cluster else (async_client, sync_client)


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class RedisServer:
    """One server process; ``restart`` keeps its directory and so its append-only file."""

    cluster = False

    def __init__(self, *, appendfsync: str = "always", extra: tuple[str, ...] = ()) -> None:
        binary = shutil.which("redis-server")
        if binary is None:
            raise RuntimeError("redis-server not found: run backends/redis/scripts/ensure-redis-server")
        self.binary = binary
        self.dir = tempfile.mkdtemp(prefix="corlith-redis-")
        self.port = _free_port()
        self.appendfsync = appendfsync
        self.extra = extra
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def async_client(self, **kwargs: Any) -> redis.asyncio.Redis:
        return async_client(self.url, **kwargs)

    def sync_client(self, **kwargs: Any) -> redis.Redis:
        return sync_client(self.url, **kwargs)

    def start(self) -> RedisServer:
        self.process = subprocess.Popen(
            [self.binary, "--port", str(self.port), "--bind", "127.0.0.1", "--dir", self.dir,
             "--save", "", "--appendonly", "yes", "--appendfsync", self.appendfsync,
             "--daemonize", "no", "--logfile", os.path.join(self.dir, "log"), *self.extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        client = redis.Redis(port=self.port, socket_connect_timeout=0.2)
        try:
            for _ in range(200):
                try:
                    client.ping()
                    return self
                except redis.ConnectionError:
                    if self.process.poll() is not None:
                        break
                    time.sleep(0.025)
        finally:
            client.close()
        raise RuntimeError(f"redis-server did not start; see {self.dir}/log")

    def stop(self, sig: int = signal.SIGTERM) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(timeout=30)
        self.process = None

    def restart(self) -> None:
        self.stop()
        self.start()

    def remove(self) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class RedisClusterServers:
    """Three masters on loopback ports, every slot assigned, no replicas.

    Slots are assigned and the nodes introduced by hand, which needs nothing
    beyond redis-server; ``url`` names one node, from which clients learn the rest.
    """

    cluster = True
    SLOTS = 16384

    def __init__(self, masters: int = 3) -> None:
        self.bus_ports = [_free_port() for _ in range(masters)]  # not port + 10000: that may be taken
        self.nodes = [RedisServer(appendfsync="everysec",
                                  extra=("--cluster-enabled", "yes", "--cluster-port", str(bus),
                                         "--cluster-config-file", "nodes.conf", "--cluster-node-timeout", "5000"))
                      for bus in self.bus_ports]

    @property
    def url(self) -> str:
        return self.nodes[0].url

    def async_client(self, **kwargs: Any) -> redis.asyncio.RedisCluster:
        return async_cluster_client(self.url, **kwargs)

    def sync_client(self, **kwargs: Any) -> redis.RedisCluster:
        return sync_cluster_client(self.url, **kwargs)

    def start(self) -> RedisClusterServers:
        try:
            self._form()
        except BaseException:
            self.remove()
            raise
        return self

    def _form(self) -> None:
        for node in self.nodes:
            node.start()
        clients = [redis.Redis(port=node.port, socket_timeout=5) for node in self.nodes]
        try:
            share = -(-self.SLOTS // len(self.nodes))
            for i, client in enumerate(clients):
                client.execute_command("CLUSTER ADDSLOTS", *range(i * share, min(self.SLOTS, (i + 1) * share)))
                if i:
                    client.execute_command("CLUSTER MEET", "127.0.0.1", self.nodes[0].port, self.bus_ports[0])
            deadline = time.monotonic() + 30
            while not all(self._ready(client) for client in clients):
                if time.monotonic() > deadline:
                    raise RuntimeError(f"the cluster did not form; see {self.nodes[0].dir}/log")
                time.sleep(0.05)
        finally:
            for client in clients:
                client.close()

    def _ready(self, client: redis.Redis) -> bool:
        info = client.cluster("INFO")
        return bool(info["cluster_state"] == "ok" and int(info["cluster_known_nodes"]) == len(self.nodes)
                    and int(info["cluster_slots_ok"]) == self.SLOTS)

    def remove(self) -> None:
        for node in self.nodes:
            node.remove()
