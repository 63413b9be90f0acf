"""A WaiterRegistry kept in a Redis server, shared by any number of workers.

Key layout under ``prefix`` (all of one registry share it):

- ``<prefix>:seq``: registration counter; every waiter gets the next number,
  zero-padded so that text order is registration order;
- ``<prefix>:sig:<signal name>``: hash, sequence number -> signal waiter;
- ``<prefix>:timers``: sorted set of timer sequence numbers by due time,
  with the records in the hash ``<prefix>:timer-records``;
- ``<prefix>:input:<[run id, resume key]>``: list of user-input waiters
  for that pair, oldest first;
- ``<prefix>:counts``: hash of the number of waiters of each kind.

Every change is one Lua script, so a waiter is released to exactly one caller
however many workers resolve, sweep or answer at the same time, and a failed
call leaves nothing half-done.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from typing import Any

import redis.asyncio

from corlith_runtime.core.runtime.waiters import SignalWaiter, TimerWaiter, UserInputWaiter

from . import _codec
from ._args import eager_checks

_REGISTER_SIGNAL = """
local seq = string.format('%020d', redis.call('INCR', KEYS[1]))
redis.call('HSET', KEYS[2], seq, ARGV[1])
redis.call('HINCRBY', KEYS[3], 'signal', 1)
"""

_REGISTER_TIMER = """
local seq = string.format('%020d', redis.call('INCR', KEYS[1]))
redis.call('ZADD', KEYS[2], ARGV[2], seq)
redis.call('HSET', KEYS[3], seq, ARGV[1])
redis.call('HINCRBY', KEYS[4], 'timer', 1)
"""

_REGISTER_USER_INPUT = """
redis.call('RPUSH', KEYS[1], ARGV[1])
redis.call('HINCRBY', KEYS[2], 'input', 1)
"""

# Removes the matched waiters that are still there and names them: a waiter
# another worker took in the meantime is simply not in the answer.
_CLAIM_SIGNAL = """
local won = {}
for i = 1, #ARGV do
  if redis.call('HDEL', KEYS[1], ARGV[i]) == 1 then won[#won + 1] = ARGV[i] end
end
if #won > 0 then redis.call('HINCRBY', KEYS[2], 'signal', -#won) end
return won
"""

# Reads only the due part of the sorted set; answers seq, record pairs.
_SWEEP = """
local due = redis.call('ZRANGEBYSCORE', KEYS[1], '-inf', ARGV[1])
local out = {}
for i = 1, #due, 1000 do
  local chunk = {unpack(due, i, math.min(i + 999, #due))}
  local records = redis.call('HMGET', KEYS[2], unpack(chunk))
  redis.call('ZREM', KEYS[1], unpack(chunk))
  redis.call('HDEL', KEYS[2], unpack(chunk))
  for j = 1, #chunk do
    out[#out + 1] = chunk[j]
    out[#out + 1] = records[j]
  end
end
if #due > 0 then redis.call('HINCRBY', KEYS[3], 'timer', -#due) end
return out
"""

_RESOLVE_USER_INPUT = """
if redis.call('LPOP', KEYS[1]) then
  redis.call('HINCRBY', KEYS[2], 'input', -1)
  return 1
end
return 0
"""


class RedisWaiterRegistry:
    """Durable registry of suspended runs, shared through a Redis server.

    Several registry objects (in one process or many) with the same client
    target and ``prefix`` see and release the same waiters; each waiter is
    released to exactly one of them. ``clock`` is read once per
    ``sweep_expired_timers``; a falsy value means ``time.time``. Records are
    stored as copies: only None, bool, int, float, str, and lists and
    str-keyed dicts of these can be stored, and anything else is refused at
    registration with TypeError.
    """

    def __init__(
        self,
        client: redis.asyncio.Redis,
        *,
        prefix: str = "corlith:waiters",
        clock: Callable[[], float] | None = None,
    ) -> None:
        self._client = client
        self._clock: Callable[[], float] = clock or time.time
        base = _codec.name_key(prefix) + b":"
        self._seq = base + b"seq"
        self._sig = base + b"sig:"
        self._timers = base + b"timers"
        self._timer_records = base + b"timer-records"
        self._input = base + b"input:"
        self._counts = base + b"counts"
        self._register_signal = client.register_script(_REGISTER_SIGNAL)
        self._register_timer = client.register_script(_REGISTER_TIMER)
        self._register_user_input = client.register_script(_REGISTER_USER_INPUT)
        self._claim_signal = client.register_script(_CLAIM_SIGNAL)
        self._sweep = client.register_script(_SWEEP)
        self._resolve_user_input = client.register_script(_RESOLVE_USER_INPUT)

    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        record = _codec.encode_signal_waiter(waiter)
        name = _codec.name_key(waiter.signal_name)
        await self._register_signal(keys=[self._seq, self._sig + name, self._counts], args=[record])

    async def register_timer(self, waiter: TimerWaiter) -> None:
        score = _codec.timer_score(waiter)
        record = _codec.encode_timer(waiter)
        await self._register_timer(
            keys=[self._seq, self._timers, self._timer_records, self._counts],
            args=[record, repr(score)],
        )

    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        record = _codec.encode_user_input_waiter(waiter)
        key = self._input + _codec.pair_key(waiter.parent_run_id, waiter.resume_key)
        await self._register_user_input(keys=[key, self._counts], args=[record])

    @eager_checks(signal_name=str, payload=dict)
    async def resolve_signal(self, *, signal_name: str, payload: dict) -> list[tuple[str, str, dict]]:  # type: ignore[type-arg]
        """Match the waiters of this signal name; remove and return the matched ones.

        Only the waiters registered under ``signal_name`` are read. Each
        returned record carries its own shallow copy of ``payload``; records
        come in registration order. If a waiter's match test raises, the
        error propagates and no waiter is removed.
        """
        key = self._sig + _codec.name_key(signal_name)
        stored = await self._client.hgetall(key)
        matched: list[tuple[bytes | str, SignalWaiter]] = []
        for seq in sorted(stored):
            waiter = _codec.decode_signal_waiter(stored[seq])
            if waiter.matches(signal_name, payload):
                matched.append((seq, waiter))
        if not matched:
            return []
        won = {_text(seq) for seq in await self._claim_signal(
            keys=[key, self._counts], args=[seq for seq, _ in matched])}
        return [(w.parent_run_id, w.resume_key, dict(payload)) for seq, w in matched if _text(seq) in won]

    @eager_checks(parent_run_id=str, resume_key=str)
    async def resolve_user_input(self, *, parent_run_id: str, resume_key: str, response: Any) -> bool:
        """Remove the oldest user-input waiter of this run and key; False if there is none.

        ``response`` is not stored: the caller resumes the run with it.
        """
        key = self._input + _codec.pair_key(parent_run_id, resume_key)
        return bool(await self._resolve_user_input(keys=[key, self._counts]))

    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        """Remove and return ``(parent_run_id, resume_key)`` of every timer due by the clock.

        A timer due exactly now is due. Only due timers are read; pairs come
        in registration order.
        """
        now = float(self._clock())
        if math.isnan(now):
            return []  # nothing compares as due against NaN
        flat = await self._sweep(keys=[self._timers, self._timer_records, self._counts], args=[repr(now)])
        pairs = sorted(zip(flat[::2], flat[1::2]))
        return [(t.parent_run_id, t.resume_key) for t in (_codec.decode_timer(r) for _, r in pairs)]

    async def signal_waiters(self, signal_name: str) -> list[SignalWaiter]:
        """The signal waiters registered under ``signal_name``, in registration order."""
        stored = await self._client.hgetall(self._sig + _codec.name_key(signal_name))
        return [_codec.decode_signal_waiter(stored[seq]) for seq in sorted(stored)]

    async def timers(self) -> list[TimerWaiter]:
        """Every registered timer, in registration order (reads them all)."""
        stored = await self._client.hgetall(self._timer_records)
        return [_codec.decode_timer(stored[seq]) for seq in sorted(stored)]

    async def user_input_waiters(self, parent_run_id: str, resume_key: str) -> list[UserInputWaiter]:
        """The user-input waiters of one run and key, oldest first."""
        key = self._input + _codec.pair_key(parent_run_id, resume_key)
        return [_codec.decode_user_input_waiter(r) for r in await self._client.lrange(key, 0, -1)]

    async def signal_waiter_count(self) -> int:
        """Number of registered signal waiters, all names together."""
        return await self._count("signal")

    async def timer_count(self) -> int:
        """Number of registered timers."""
        return await self._count("timer")

    async def user_input_waiter_count(self) -> int:
        """Number of registered user-input waiters."""
        return await self._count("input")

    async def _count(self, kind: str) -> int:
        return int(await self._client.hget(self._counts, kind) or 0)


def _text(value: bytes | str) -> str:
    # The client answers bytes or str depending on its decode_responses setting.
    return value.decode() if isinstance(value, bytes) else value
