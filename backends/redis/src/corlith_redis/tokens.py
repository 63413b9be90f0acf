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
queue expire ``lease_seconds`` after the last call of that holder there that
took a token (``try_acquire`` answering True), kept one (``release`` leaving it
tokens) or ``renew``: a refused ``try_acquire`` or an ``in_use`` extends
nothing. The tokens of a worker that died come back by themselves; a live
holder that keeps tokens longer calls ``renew`` more often than that.

Keys: the state of one queue lives under the hash tag ``{<Q>}``, ``<Q>`` being
``[prefix, queue]`` as JSON with braces escaped: ``:state`` (hash: cap, held),
``:holders`` (hash: holder -> tokens) and ``:leases`` (sorted set: holder ->
expiry in ms). One queue is one cluster slot; queues spread over the cluster.
"""

from __future__ import annotations

import math
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


# KEYS: state hash (cap, held), holders hash (holder -> tokens), leases zset (holder -> expiry ms)
# ARGV: holder, lease ms, default capacity
# Server time in whole milliseconds keeps leases independent of the workers' clocks.
_NOW_AND_REAP = """
local state, holders, leases = KEYS[1], KEYS[2], KEYS[3]
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local dead = redis.call('ZRANGEBYSCORE', leases, '-inf', now)
for i = 1, #dead do
  local n = tonumber(redis.call('HGET', holders, dead[i]) or '0')
  redis.call('HDEL', holders, dead[i])
  redis.call('ZREM', leases, dead[i])
  if n > 0 then redis.call('HINCRBY', state, 'held', -n) end
end
"""

_TRY_ACQUIRE = _NOW_AND_REAP + """
local cap = tonumber(redis.call('HGET', state, 'cap') or ARGV[3])
local held = tonumber(redis.call('HGET', state, 'held') or '0')
-- refused: the holder's lease is left as it was, since it took nothing
if held >= cap then return 0 end
redis.call('HINCRBY', state, 'held', 1)
redis.call('HINCRBY', holders, ARGV[1], 1)
redis.call('ZADD', leases, now + tonumber(ARGV[2]), ARGV[1])
return 1
"""

_RELEASE = _NOW_AND_REAP + """
local mine = tonumber(redis.call('HGET', holders, ARGV[1]) or '0')
-- none held: never taken, already given back, or reaped above after its lease ran out
if mine <= 0 then return 0 end
redis.call('HINCRBY', state, 'held', -1)
if mine == 1 then
  redis.call('HDEL', holders, ARGV[1])
  redis.call('ZREM', leases, ARGV[1])
else
  redis.call('HSET', holders, ARGV[1], mine - 1)
  redis.call('ZADD', leases, now + tonumber(ARGV[2]), ARGV[1])
end
return 1
"""

_SET_CAPACITY = """
local state = KEYS[1]
redis.call('HSET', state, 'cap', ARGV[1])
"""

_RENEW = _NOW_AND_REAP + """
-- none held: an expired lease was reaped above and is not revived
if tonumber(redis.call('HGET', holders, ARGV[1]) or '0') <= 0 then return 0 end
redis.call('ZADD', leases, now + tonumber(ARGV[2]), ARGV[1])
return 1
"""

_IN_USE = _NOW_AND_REAP + """
return tonumber(redis.call('HGET', state, 'held') or '0')
"""


def _default_holder() -> str:
    return f"{socket.gethostname()}:{os.getpid()}:{uuid.uuid4().hex[:12]}"


class RedisTokenSemaphore:
    """Per-queue admission control shared by every process using the same server and prefix.

    Each of ``try_acquire``, ``release``, ``set_capacity`` and ``renew`` is
    one atomic script, one round trip. The client may be shared between
    threads (the client's connection pool is thread-safe). A refused
    ``try_acquire`` does not extend this holder's lease.
    """

    def __init__(
        self,
        client: redis.Redis | redis.RedisCluster,
        *,
        prefix: str = "corlith:tokens",
        holder: str | None = None,
        lease_seconds: float = 300.0,
        default_capacity: int = 0,
    ) -> None:
        if not 0 < lease_seconds < math.inf:
            raise ValueError(f"lease_seconds must be positive and finite: {lease_seconds!r}")
        _check_capacity(default_capacity)
        self._client = client
        self._prefix = _codec.require_prefix(prefix)
        self.holder: str = holder if holder is not None else _default_holder()
        self._args: list[bytes | str] = [self.holder.encode("utf-8", "surrogatepass"), str(max(1, round(lease_seconds * 1000))),
                      str(default_capacity)]
        self._try_acquire = client.register_script(_TRY_ACQUIRE)
        self._release = client.register_script(_RELEASE)
        self._set_capacity = client.register_script(_SET_CAPACITY)
        self._renew = client.register_script(_RENEW)
        self._in_use = client.register_script(_IN_USE)

    def _keys(self, queue: str) -> list[bytes]:
        tag = _codec.hash_tag(self._prefix, queue)
        return [tag + b":state", tag + b":holders", tag + b":leases"]

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
