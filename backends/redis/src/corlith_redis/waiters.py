"""A WaiterRegistry kept in a Redis server or Redis Cluster, shared by any number of workers.

Key layout: every key of one registry starts with the hash tag ``{<P>}``,
where ``<P>`` is ``[prefix]`` as JSON with braces escaped, so a cluster keeps
a registry in one slot and a script never spans slots, while registries
with other prefixes spread over the cluster. After the tag:

- ``:seq``: registration counter; every waiter gets the next number,
  zero-padded so that text order is registration order;
- ``:sig:<signal name>``: hash, sequence number -> signal waiter;
- ``:timers``: sorted set of timer sequence numbers by due time, with the
  records in the hash ``:timer-records``;
- ``:input:<[run id, resume key]>``: list of user-input waiters for that
  pair, oldest first;
- ``:counts``: hash of the number of waiters of each kind;
- ``:outbox`` and ``:outbox-due`` (when the outbox is on): released waiters
  not yet acknowledged, by ``[run id, resume key]``, and when each is next
  due for redelivery (server milliseconds).

The tag decodes to the prefix and the free-form part comes last, so no two
(prefix, name) pairs share a key.

Every change is one Lua script (a sweep's, one per batch), so a waiter is
released to exactly one caller however many workers resolve, sweep or answer
at the same time, and a failed script leaves nothing half-done.

With ``outbox_seconds`` set, the script that releases a waiter also holds
the release in the outbox until the caller acknowledges the resume; a caller
that loses the reply, or dies before resuming, leaves it there for
``redeliver``. Return values and round trips stay as they are.
"""

from __future__ import annotations

import logging
import math
import time
from collections.abc import Callable
from typing import Any, NamedTuple

import redis.asyncio

from corlith_runtime.core.runtime.waiters import SignalWaiter, TimerWaiter, UserInputWaiter

from . import _codec
from ._args import eager_checks

_log = logging.getLogger(__name__)

#: Timers one sweep script releases at most; the sweep repeats until none are due.
SWEEP_BATCH = 500
# The script passes a batch to HMGET, ZREM and HDEL through unpack(), which
# fails beyond the Lua stack's 8,000 slots.
MAX_SWEEP_BATCH = 5000

_REGISTER_SIGNAL = """
local seq_key, waiters, counts = KEYS[1], KEYS[2], KEYS[3]
local seq = string.format('%020d', redis.call('INCR', seq_key))
redis.call('HSET', waiters, seq, ARGV[1])
redis.call('HINCRBY', counts, 'signal', 1)
"""

_REGISTER_TIMER = """
local seq_key, timers, records, counts = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local seq = string.format('%020d', redis.call('INCR', seq_key))
redis.call('ZADD', timers, ARGV[2], seq)
redis.call('HSET', records, seq, ARGV[1])
redis.call('HINCRBY', counts, 'timer', 1)
"""

_REGISTER_USER_INPUT = """
local waiters, counts = KEYS[1], KEYS[2]
redis.call('RPUSH', waiters, ARGV[1])
redis.call('HINCRBY', counts, 'input', 1)
"""

# Holds a release in the outbox under its [run id, resume key]. Records start
# with {"p":<string>,"r":<string>, written as pair keys are, so the key is cut
# from the record without decoding it. An entry is a JSON list of releases.
_OUTBOX = """
local function string_end(s, i)
  local j = i + 1
  while true do
    local c = string.byte(s, j)
    if c == 92 then j = j + 2 elseif c == 34 then return j else j = j + 1 end
  end
end
local function pair_of(record)
  local p_end = string_end(record, 6)
  local r_end = string_end(record, p_end + 6)
  return '[' .. string.sub(record, 6, p_end) .. ',' .. string.sub(record, p_end + 6, r_end) .. ']'
end
local function hold(outbox, due, ms, pair, entry)
  local t = redis.call('TIME')
  local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
  local held = redis.call('HGET', outbox, pair)
  -- the pair holds an unacknowledged release already: one acknowledgement covers both
  if held then entry = string.sub(held, 1, -2) .. ',' .. entry .. ']' else entry = '[' .. entry .. ']' end
  redis.call('HSET', outbox, pair, entry)
  redis.call('ZADD', due, now + ms, pair)
end
"""

# ARGV: outbox ms (0: no outbox), payload JSON ('' when it cannot be stored),
# then the sequence numbers. Removes the matched waiters still there and names them.
_CLAIM_SIGNAL = _OUTBOX + """
local waiters, counts, outbox, due = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local ms = tonumber(ARGV[1])
local won = {}
for i = 3, #ARGV do
  local record = redis.call('HGET', waiters, ARGV[i])
  -- nil: another worker claimed it since our read; it is not ours to return
  if record then
    redis.call('HDEL', waiters, ARGV[i])
    won[#won + 1] = ARGV[i]
    if ms > 0 then
      local value = ''
      if ARGV[2] ~= '' then value = ',"x":' .. ARGV[2] end
      hold(outbox, due, ms, pair_of(record), '{"k":"signal","w":' .. record .. value .. '}')
    end
  end
end
if #won > 0 then redis.call('HINCRBY', counts, 'signal', -#won) end
return won
"""

# ARGV: the clock floor (due means score <= it), the batch size, outbox ms. Reads only
# the due part of the sorted set and takes at most one batch of it; answers
# how many stay due, then seq, record pairs.
_SWEEP = _OUTBOX + """
local timers, records, counts, outbox, outbox_due = KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5]
local due = redis.call('ZRANGEBYSCORE', timers, '-inf', ARGV[1], 'LIMIT', 0, tonumber(ARGV[2]))
-- empty: nothing due, or other sweepers took it all
if #due == 0 then return {0} end
local found = redis.call('HMGET', records, unpack(due))
redis.call('ZREM', timers, unpack(due))
redis.call('HDEL', records, unpack(due))
redis.call('HINCRBY', counts, 'timer', -#due)
local out = {redis.call('ZCOUNT', timers, '-inf', ARGV[1])}
local ms = tonumber(ARGV[3])
for i = 1, #due do
  out[#out + 1] = due[i]
  out[#out + 1] = found[i]
  if ms > 0 then hold(outbox, outbox_due, ms, pair_of(found[i]), '{"k":"timer","w":' .. found[i] .. '}') end
end
return out
"""

# ARGV: outbox ms, response JSON ('' when it cannot be stored).
_RESOLVE_USER_INPUT = _OUTBOX + """
local waiters, counts, outbox, due = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local record = redis.call('LPOP', waiters)
-- nil: none registered, or another worker answered the last one first
if not record then return 0 end
redis.call('HINCRBY', counts, 'input', -1)
if tonumber(ARGV[1]) > 0 then
  local value = ''
  if ARGV[2] ~= '' then value = ',"x":' .. ARGV[2] end
  hold(outbox, due, tonumber(ARGV[1]), pair_of(record), '{"k":"input","w":' .. record .. value .. '}')
end
return 1
"""

# ARGV: the pair. Its parent was resumed: its releases leave the outbox.
_ACKNOWLEDGE = """
local outbox, due = KEYS[1], KEYS[2]
redis.call('ZREM', due, ARGV[1])
-- 0: acknowledged before (a redelivered resume acknowledging again), or never held
return redis.call('HDEL', outbox, ARGV[1])
"""

# ARGV: outbox ms, most pairs. Hands out the releases whose time is up and
# leases each to this caller for another outbox ms.
_REDELIVER = """
local outbox, due = KEYS[1], KEYS[2]
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local late = redis.call('ZRANGEBYSCORE', due, '-inf', now, 'LIMIT', 0, tonumber(ARGV[2]))
local out = {}
for _, pair in ipairs(late) do
  local entry = redis.call('HGET', outbox, pair)
  if entry then
    redis.call('ZADD', due, now + tonumber(ARGV[1]), pair)
    out[#out + 1] = entry
  else
    -- acknowledged while its due time was being written: nothing to deliver
    redis.call('ZREM', due, pair)
  end
end
return out
"""

AsyncClient = redis.asyncio.Redis | redis.asyncio.RedisCluster

#: Pairs one ``redeliver`` call hands out at most.
REDELIVER_BATCH = 100


class Release(NamedTuple):
    """A release held in the outbox: the kind of waiter, whose, what released it, and the record.

    ``value`` is the signal's payload or the user's response: None for a
    timer, and when the value could not be stored as JSON.
    """

    kind: str
    parent_run_id: str
    resume_key: str
    value: Any
    waiter: SignalWaiter | TimerWaiter | UserInputWaiter


def _stored_or_empty(value: object) -> bytes:
    try:
        _codec.check_storable(value, "value")
    except TypeError:
        return b""
    return _codec._json_bytes(value)


class RedisWaiterRegistry:
    """Durable registry of suspended runs, shared through a Redis server or cluster.

    Several registry objects (in one process or many) with the same client
    target and ``prefix`` see and release the same waiters; each waiter is
    released to exactly one of them. ``clock`` is read once per
    ``sweep_expired_timers``; a falsy value means ``time.time``.
    ``outbox_seconds`` turns the outbox on: every release is also held until
    ``acknowledge`` names its pair, and ``redeliver`` hands out the releases
    not acknowledged within that many seconds. Records are
    stored as copies: only None, bool, int, float, str, and lists and
    str-keyed dicts of these can be stored, and anything else is refused at
    registration with TypeError. An asyncio client belongs to one event loop,
    and so does a registry built on it.
    """

    def __init__(
        self,
        client: AsyncClient,
        *,
        prefix: str = "corlith:waiters",
        clock: Callable[[], float] | None = None,
        sweep_batch: int = SWEEP_BATCH,
        outbox_seconds: float | None = None,
    ) -> None:
        if outbox_seconds is not None and not (math.isfinite(outbox_seconds) and outbox_seconds > 0):
            raise ValueError(f"outbox_seconds must be a positive number of seconds: {outbox_seconds!r}")
        self._outbox_ms = 0 if outbox_seconds is None else max(1, int(outbox_seconds * 1000))
        if type(sweep_batch) is not int or not 1 <= sweep_batch <= MAX_SWEEP_BATCH:
            raise ValueError(f"sweep_batch must be an int from 1 to {MAX_SWEEP_BATCH}: {sweep_batch!r}")
        self._client = client
        self._clock: Callable[[], float] = clock or time.time
        self._batch = sweep_batch
        tag = _codec.hash_tag(_codec.require_prefix(prefix))
        self._seq = tag + b":seq"
        self._sig = tag + b":sig:"
        self._timers = tag + b":timers"
        self._timer_records = tag + b":timer-records"
        self._input = tag + b":input:"
        self._counts = tag + b":counts"
        self._outbox = tag + b":outbox"
        self._outbox_due = tag + b":outbox-due"
        self._register_signal = client.register_script(_REGISTER_SIGNAL)
        self._register_timer = client.register_script(_REGISTER_TIMER)
        self._register_user_input = client.register_script(_REGISTER_USER_INPUT)
        self._claim_signal = client.register_script(_CLAIM_SIGNAL)
        self._sweep = client.register_script(_SWEEP)
        self._resolve_user_input = client.register_script(_RESOLVE_USER_INPUT)
        self._acknowledge = client.register_script(_ACKNOWLEDGE)
        self._redeliver = client.register_script(_REDELIVER)

    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        record = _codec.encode_signal_waiter(waiter)
        name = _codec.name_key(waiter.signal_name)
        await self._register_signal(keys=[self._seq, self._sig + name, self._counts], args=[record])

    async def register_timer(self, waiter: TimerWaiter) -> None:
        score = _codec.timer_score(waiter)  # refuses what a double cannot hold
        record = _codec.encode_timer(waiter)
        await self._register_timer(
            keys=[self._seq, self._timers, self._timer_records, self._counts],
            args=[record, repr(score)],
        )

    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        record = _codec.encode_user_input_waiter(waiter)
        key = self._input + _codec.input_key(waiter.parent_run_id, waiter.resume_key)
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
        payload_json = _stored_or_empty(payload) if self._outbox_ms else b""
        won = {_text(seq) for seq in await self._claim_signal(
            keys=[key, self._counts, self._outbox, self._outbox_due],
            args=[self._outbox_ms, payload_json, *(seq for seq, _ in matched)])}
        return [(w.parent_run_id, w.resume_key, dict(payload)) for seq, w in matched if _text(seq) in won]

    @eager_checks(parent_run_id=str, resume_key=str)
    async def resolve_user_input(self, *, parent_run_id: str, resume_key: str, response: Any) -> bool:
        """Remove the oldest user-input waiter of this run and key; False if there is none.

        ``response`` is not stored: the caller resumes the run with it.
        """
        key = self._input + _codec.input_key(parent_run_id, resume_key)
        response_json = _stored_or_empty(response) if self._outbox_ms else b""
        return bool(await self._resolve_user_input(
            keys=[key, self._counts, self._outbox, self._outbox_due], args=[self._outbox_ms, response_json]))

    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        """Remove and return ``(parent_run_id, resume_key)`` of every timer due by the clock.

        A timer due exactly now is due; the comparison is exact, as Python's
        ``resume_at_unix <= now`` is. Only due timers are read, at most
        ``sweep_batch`` per script, so a large backlog never holds the server
        for long; pairs come in registration order. If a batch after the
        first fails, the pairs already released are returned (the server no
        longer holds them) and the error is logged; the rest stay due.
        """
        now = _codec.clock_floor(self._clock())
        if math.isnan(now):
            return []  # nothing compares as due against NaN
        keys = [self._timers, self._timer_records, self._counts, self._outbox, self._outbox_due]
        args: list[str | int] = [repr(now), self._batch, self._outbox_ms]
        released: list[tuple[bytes | str, bytes | str]] = []
        batches: int | None = None  # how many may follow, fixed by the first reply
        while batches is None or batches > 0:
            try:
                reply = await self._sweep(keys=keys, args=args)
            except Exception:
                if batches is None:
                    raise
                _log.warning("timer sweep stopped after releasing %d timers; the rest stay due",
                             len(released), exc_info=True)
                break
            released += zip(reply[1::2], reply[2::2])
            still_due = int(reply[0])
            # Timers registered as due during the sweep may be taken too, but
            # no more batches run than the backlog the first one saw needs.
            batches = -(-still_due // self._batch) if batches is None else min(batches - 1, still_due)
        released.sort()
        return [(t.parent_run_id, t.resume_key) for t in (_codec.decode_timer(r) for _, r in released)]

    async def acknowledge(self, *, parent_run_id: str, resume_key: str) -> bool:
        """The pair's parent was resumed: its held releases leave the outbox. False if none were held."""
        pair = _codec.input_key(parent_run_id, resume_key)
        return bool(await self._acknowledge(keys=[self._outbox, self._outbox_due], args=[pair]))

    async def redeliver(self, *, limit: int = REDELIVER_BATCH) -> list[Release]:
        """The releases not acknowledged in time, from at most ``limit`` pairs.

        A pair handed out is not handed out again for ``outbox_seconds``: it
        is this caller's to resume and acknowledge. Callers redelivering at
        once never get the same pair within that time. A resume can still
        be attempted twice (a slow first resumer, then the redelivery), so
        the resume guards itself by its pair, as any at-least-once consumer does.
        """
        if not self._outbox_ms:
            raise ValueError("this registry has no outbox: give it outbox_seconds")
        entries = await self._redeliver(keys=[self._outbox, self._outbox_due], args=[self._outbox_ms, limit])
        return [release for entry in entries for release in _releases(entry)]

    async def held(self, parent_run_id: str, resume_key: str) -> list[Release]:
        """The releases of one pair that the outbox holds, oldest first."""
        entry = await self._client.hget(self._outbox, _codec.input_key(parent_run_id, resume_key))
        return [] if entry is None else _releases(entry)

    async def outbox_count(self) -> int:
        """Number of pairs holding releases not yet acknowledged."""
        return int(await self._client.hlen(self._outbox))

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
        key = self._input + _codec.input_key(parent_run_id, resume_key)
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


def _waiter(kind: str, f: dict[str, Any]) -> SignalWaiter | TimerWaiter | UserInputWaiter:
    if kind == "signal":
        return SignalWaiter(f["p"], f["r"], f["s"], f["m"], f["t"])
    if kind == "timer":
        return TimerWaiter(f["p"], f["r"], f["at"])
    return UserInputWaiter(f["p"], f["r"], f["q"], f["c"], f["t"])


def _releases(entry: bytes | str) -> list[Release]:
    return [Release(item["k"], item["w"]["p"], item["w"]["r"], item.get("x"), _waiter(item["k"], item["w"]))
            for item in _codec._load(entry)]


def _text(value: bytes | str) -> str:
    # The client answers bytes or str depending on its decode_responses setting.
    return value.decode() if isinstance(value, bytes) else value
