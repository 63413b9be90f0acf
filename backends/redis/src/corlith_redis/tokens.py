"""TokenSemaphore implementations: one for a single process, one shared through Redis.

Both share these rules, which the protocol leaves open:

- a queue whose capacity was never set has ``default_capacity`` tokens
  (0 unless configured: an unconfigured queue admits nothing);
- a negative capacity is refused with ValueError; 0 closes the queue;
- lowering the capacity revokes no held token; new tokens are refused until
  fewer than the new capacity are held;
- ``release`` with no token held is a no-op: the count never goes below zero.

``RedisTokenSemaphore`` adds holders and leases. Every instance acts for one
holder (``holder=``, by default an id unique to the instance); a token is
held by a holder, and ``release`` gives back a token of that holder only, so
a stray release can never free somebody else's slot. A holder's tokens on a
queue expire ``lease_seconds`` after its last ``try_acquire``, ``release`` or
``renew`` there, so the tokens of a worker that died come back by themselves;
a live holder that keeps tokens longer calls ``renew`` more often than that.
"""

from __future__ import annotations

import os
import socket
import threading
import uuid

import redis

from . import _codec
from ._args import as_int, require_exact


def _check_capacity(value: int) -> None:
    if value < 0:
        raise ValueError(f"capacity must not be negative: {value}")


class InMemoryTokenSemaphore:
    """Per-queue admission control inside one process; safe to share between threads."""

    def __init__(self, *, default_capacity: int = 0) -> None:
        _check_capacity(default_capacity)
        self._default_capacity = default_capacity
        self._lock = threading.Lock()
        self._capacity: dict[str, int] = {}
        self._held: dict[str, int] = {}

    def try_acquire(self, queue: str) -> bool:
        """Take a token of ``queue`` if fewer than its capacity are held."""
        require_exact("queue", queue, str)
        with self._lock:
            held = self._held.get(queue, 0)
            if held >= self._capacity.get(queue, self._default_capacity):
                return False
            self._held[queue] = held + 1
            return True

    def release(self, queue: str) -> None:
        """Give a token of ``queue`` back; nothing happens when none is held."""
        require_exact("queue", queue, str)
        with self._lock:
            held = self._held.get(queue, 0)
            if held > 1:
                self._held[queue] = held - 1
            else:
                self._held.pop(queue, None)

    def set_capacity(self, queue: str, count: int) -> None:
        """Set how many tokens of ``queue`` may be held at once; held tokens are kept."""
        value = as_int("count", count)
        require_exact("queue", queue, str)
        _check_capacity(value)
        with self._lock:
            self._capacity[queue] = value

    def in_use(self, queue: str) -> int:
        """Number of tokens of ``queue`` held now."""
        with self._lock:
            return self._held.get(queue, 0)


# Server time in whole milliseconds keeps leases independent of the workers' clocks.
_NOW_AND_REAP = """
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local dead = redis.call('ZRANGEBYSCORE', KEYS[3], '-inf', now)
for i = 1, #dead do
  local n = tonumber(redis.call('HGET', KEYS[2], dead[i]) or '0')
  redis.call('HDEL', KEYS[2], dead[i])
  redis.call('ZREM', KEYS[3], dead[i])
  if n > 0 then redis.call('HINCRBY', KEYS[1], 'held', -n) end
end
"""

# KEYS: state hash (cap, held), holders hash (holder -> tokens), leases zset (holder -> expiry ms)
# ARGV: holder, lease ms, default capacity
_TRY_ACQUIRE = _NOW_AND_REAP + """
local cap = tonumber(redis.call('HGET', KEYS[1], 'cap') or ARGV[3])
local held = tonumber(redis.call('HGET', KEYS[1], 'held') or '0')
if held >= cap then return 0 end
redis.call('HINCRBY', KEYS[1], 'held', 1)
redis.call('HINCRBY', KEYS[2], ARGV[1], 1)
redis.call('ZADD', KEYS[3], now + tonumber(ARGV[2]), ARGV[1])
return 1
"""

_RELEASE = _NOW_AND_REAP + """
local mine = tonumber(redis.call('HGET', KEYS[2], ARGV[1]) or '0')
if mine <= 0 then return 0 end
redis.call('HINCRBY', KEYS[1], 'held', -1)
if mine == 1 then
  redis.call('HDEL', KEYS[2], ARGV[1])
  redis.call('ZREM', KEYS[3], ARGV[1])
else
  redis.call('HSET', KEYS[2], ARGV[1], mine - 1)
  redis.call('ZADD', KEYS[3], now + tonumber(ARGV[2]), ARGV[1])
end
return 1
"""

_SET_CAPACITY = """
redis.call('HSET', KEYS[1], 'cap', ARGV[1])
"""

_RENEW = _NOW_AND_REAP + """
if tonumber(redis.call('HGET', KEYS[2], ARGV[1]) or '0') <= 0 then return 0 end
redis.call('ZADD', KEYS[3], now + tonumber(ARGV[2]), ARGV[1])
return 1
"""

_IN_USE = _NOW_AND_REAP + """
return tonumber(redis.call('HGET', KEYS[1], 'held') or '0')
"""


def _default_holder() -> str:
    return f"{socket.gethostname()}:{os.getpid()}:{uuid.uuid4().hex[:12]}"


class RedisTokenSemaphore:
    """Per-queue admission control shared by every process using the same server and prefix.

    Each of ``try_acquire``, ``release``, ``set_capacity`` and ``renew`` is
    one atomic script, one round trip. The client may be shared between
    threads (the client's connection pool is thread-safe).
    """

    def __init__(
        self,
        client: redis.Redis,
        *,
        prefix: str = "corlith:tokens",
        holder: str | None = None,
        lease_seconds: float = 300.0,
        default_capacity: int = 0,
    ) -> None:
        if not lease_seconds > 0:
            raise ValueError(f"lease_seconds must be positive: {lease_seconds!r}")
        _check_capacity(default_capacity)
        self._client = client
        self._prefix = _codec.name_key(prefix) + b":"
        self.holder: str = holder if holder is not None else _default_holder()
        self._args: list[bytes | str] = [self.holder.encode("utf-8", "surrogatepass"), str(max(1, round(lease_seconds * 1000))),
                      str(default_capacity)]
        self._try_acquire = client.register_script(_TRY_ACQUIRE)
        self._release = client.register_script(_RELEASE)
        self._set_capacity = client.register_script(_SET_CAPACITY)
        self._renew = client.register_script(_RENEW)
        self._in_use = client.register_script(_IN_USE)

    def _keys(self, queue: str) -> list[bytes]:
        name = _codec.name_key(queue)
        return [self._prefix + b"q:" + name, self._prefix + b"holders:" + name, self._prefix + b"leases:" + name]

    def try_acquire(self, queue: str) -> bool:
        """Take a token of ``queue`` for this holder if fewer than its capacity are held."""
        require_exact("queue", queue, str)
        return bool(self._try_acquire(keys=self._keys(queue), args=self._args))

    def release(self, queue: str) -> None:
        """Give back one of this holder's tokens of ``queue``; a no-op if it holds none."""
        require_exact("queue", queue, str)
        self._release(keys=self._keys(queue), args=self._args)

    def set_capacity(self, queue: str, count: int) -> None:
        """Set how many tokens of ``queue`` may be held at once; held tokens are kept."""
        value = as_int("count", count)
        require_exact("queue", queue, str)
        _check_capacity(value)
        self._set_capacity(keys=self._keys(queue)[:1], args=[value])

    def renew(self, queue: str) -> bool:
        """Extend this holder's lease on ``queue``; False if it holds no token there."""
        require_exact("queue", queue, str)
        return bool(self._renew(keys=self._keys(queue), args=self._args))

    def in_use(self, queue: str) -> int:
        """Number of tokens of ``queue`` held now, by every holder, after expired leases return."""
        require_exact("queue", queue, str)
        return int(self._in_use(keys=self._keys(queue), args=self._args))
