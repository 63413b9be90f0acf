"""A throw-away redis-server on a free loopback port, in its own directory."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import redis


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class RedisServer:
    """One server process; ``restart`` keeps its directory and so its append-only file."""

    def __init__(self, *, appendfsync: str = "always") -> None:
        binary = shutil.which("redis-server")
        if binary is None:
            raise RuntimeError("redis-server not found: run backends/redis/scripts/ensure-redis-server")
        self.binary = binary
        self.dir = tempfile.mkdtemp(prefix="corlith-redis-")
        self.port = _free_port()
        self.appendfsync = appendfsync
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> RedisServer:
        self.process = subprocess.Popen(
            [self.binary, "--port", str(self.port), "--bind", "127.0.0.1", "--dir", self.dir,
             "--save", "", "--appendonly", "yes", "--appendfsync", self.appendfsync,
             "--daemonize", "no", "--logfile", os.path.join(self.dir, "log")],
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
