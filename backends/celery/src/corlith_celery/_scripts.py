"""The join's Lua scripts. Every script of a group touches only that group's
keys, which share one hash tag, so a cluster keeps a group in one slot.

Times are the server's (``TIME``, in milliseconds), so leases and deadlines
mean the same on every worker whatever its clock says. Records are opaque
JSON text written by Python; Lua only stores and compares them.
"""

from __future__ import annotations

# Group keys, in the order every script below takes them (a prefix of it).
GROUP_KEYS = ("meta", "results", "leases", "attempts", "parents", "outbox", "final", "specs", "sent")

_NOW = """
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
-- Every group key expires with the group, well past its deadline, so a group
-- nobody acknowledges does not stay forever. Keys made after the group get
-- the group's expiry when they first appear.
local function keep(meta, ...)
  local at = redis.call('HGET', meta, 'expires')
  if not at then return end
  for _, key in ipairs({...}) do
    if redis.call('PTTL', key) == -1 then redis.call('PEXPIREAT', key, at) end
  end
end
"""

# Records one child's result if it has none; decides return_when in the same
# step. On satisfaction the records present become the final set and every
# parent of the group gets an outbox entry: the release cannot be lost once
# the group is satisfied, whoever dies next.
_RECORD_FN = _NOW + """
local function satisfy(meta, results, parents, outbox, final, reason, now)
  redis.call('HSET', meta, 'state', 'done', 'reason', reason, 'satisfied_at', now)
  redis.call('SET', final, cjson.encode(redis.call('HKEYS', results)), 'KEEPTTL')
  for _, pair in ipairs(redis.call('HKEYS', parents)) do
    redis.call('HSET', outbox, pair, now)
  end
  keep(meta, final, outbox)
end

-- Returns 0 when the child had a record already, 1 when this one was stored,
-- 2 when it was stored and satisfied the group.
local function record(meta, results, leases, parents, outbox, final, idx, rec, has_output, now)
  -- lost race: a duplicate delivery, a timeout or a "worker lost" record came first
  if redis.call('HSETNX', results, idx, rec) == 0 then return 0 end
  keep(meta, results)
  redis.call('HDEL', leases, idx)
  local done = redis.call('HINCRBY', meta, 'done', 1)
  -- a child already running when an any / first_success group was satisfied:
  -- its record is kept but is not part of the final set
  if redis.call('HGET', meta, 'state') ~= 'open' then return 1 end
  local mode = redis.call('HGET', meta, 'mode')
  local n = tonumber(redis.call('HGET', meta, 'n'))
  if mode == 'any' or done >= n or (mode == 'first_success' and has_output == '1') then
    satisfy(meta, results, parents, outbox, final, 'return_when', now)
    return 2
  end
  return 1
end
"""

# ARGV: n, mode, timeout ms (0: none), tree id, parent pair, resume target,
# lifetime ms (the group's keys expire that long after creation), specs...
# Answers {created, n, state, joined, published}.
CREATE = _RECORD_FN + """
local meta, results, leases, attempts, parents, outbox, final, specs =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6], KEYS[7], KEYS[8]
local created = 0
local now = now_ms()
if redis.call('EXISTS', meta) == 0 then
  local n = tonumber(ARGV[1])
  local deadline = 0
  if tonumber(ARGV[3]) > 0 then deadline = now + tonumber(ARGV[3]) end
  redis.call('HSET', meta, 'n', n, 'mode', ARGV[2], 'deadline', deadline, 'state', 'open',
             'pub', 0, 'created', now, 'tree', ARGV[4], 'done', 0, 'expires', now + tonumber(ARGV[7]))
  for i = 1, n do redis.call('HSET', specs, i - 1, ARGV[7 + i]) end
  created = 1
end
-- else: a retried enqueue, or another caller with the same group_key, recorded
-- the group first; this call joins it and mints nothing new
local joined = redis.call('HSETNX', parents, ARGV[5], ARGV[6])
if created == 1 and tonumber(ARGV[1]) == 0 then
  satisfy(meta, results, parents, outbox, final, 'return_when', now)
elseif joined == 1 and redis.call('HGET', meta, 'state') == 'done' then
  -- satisfied before this parent joined: released at once
  redis.call('HSET', outbox, ARGV[5], now)
end
keep(meta, meta, specs, parents, outbox)
return {created, tonumber(redis.call('HGET', meta, 'n')), redis.call('HGET', meta, 'state'), joined,
        tonumber(redis.call('HGET', meta, 'pub'))}
"""

# ARGV: positions... Marks the group published and when each message left.
# Answers the group's state (nil when it is gone).
PUBLISHED = _NOW + """
local meta, sent = KEYS[1], KEYS[2]
local now = now_ms()
-- the group expired (or was acknowledged) before its messages left
if redis.call('EXISTS', meta) == 0 then return end
redis.call('HSET', meta, 'pub', 1)
for i = 1, #ARGV do redis.call('HSET', sent, ARGV[i], now) end
keep(meta, sent)
return redis.call('HGET', meta, 'state')
"""

# ARGV: position, lease ms, max attempts. Answers {'run', attempt, spec, tree},
# {'lost'} when the attempts are spent, or {'done'|'skip'|'running'|'gone'}.
CLAIM = _NOW + """
local meta, results, leases, attempts, specs = KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5]
local idx = ARGV[1]
local state = redis.call('HGET', meta, 'state')
-- acknowledged and removed, or expired: nothing to run for
if not state then return {'gone'} end
-- a duplicate delivery of a child that finished (or was closed by the reaper)
if redis.call('HEXISTS', results, idx) == 1 then return {'done'} end
-- satisfied under any / first_success, or closed: children not started are skipped
if state ~= 'open' then return {'skip'} end
local now = now_ms()
local lease = tonumber(redis.call('HGET', leases, idx))
-- a duplicate delivery while the child runs elsewhere
if lease and lease > now then return {'running'} end
local attempt = redis.call('HINCRBY', attempts, idx, 1)
if attempt > tonumber(ARGV[3]) then
  redis.call('HDEL', leases, idx)
  return {'lost'}
end
redis.call('HSET', leases, idx, now + tonumber(ARGV[2]))
keep(meta, leases, attempts)
return {'run', attempt, redis.call('HGET', specs, idx), redis.call('HGET', meta, 'tree')}
"""

# ARGV: position, lease ms. Extends a running child's lease; 0 if it has none.
RENEW = _NOW + """
local results, leases = KEYS[1], KEYS[2]
-- recorded, or the lease expired and the reaper took it back
if redis.call('HEXISTS', results, ARGV[1]) == 1 or redis.call('HEXISTS', leases, ARGV[1]) == 0 then
  return 0
end
redis.call('HSET', leases, ARGV[1], now_ms() + tonumber(ARGV[2]))
return 1
"""

# ARGV: position, record JSON, 1 if its output is not null. Answers {-1} when
# the group is gone, else {record()'s answer}; on satisfaction the parents and
# their resume targets follow ({2, pair, target, ...}), so the recorder
# delivers without reading them back.
RECORD = _RECORD_FN + """
local meta, results, leases, attempts, parents, outbox, final =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6], KEYS[7]
-- the group was acknowledged and removed (or expired) while the child ran
if redis.call('EXISTS', meta) == 0 then return {-1} end
local stored = record(meta, results, leases, parents, outbox, final, ARGV[1], ARGV[2], ARGV[3], now_ms())
if stored ~= 2 then return {stored} end
local reply = redis.call('HGETALL', parents)
table.insert(reply, 1, 2)
return reply
"""

# ARGV: max attempts, republish-after ms, redeliver-after ms, timeout record,
# worker-lost record. One pass of the reaper over one group. Answers
# {state, {positions to publish again}, {pairs to deliver again},
#  {positions recorded here}}.
REAP = _RECORD_FN + """
local meta, results, leases, attempts, parents, outbox, final, specs, sent =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6], KEYS[7], KEYS[8], KEYS[9]
local state = redis.call('HGET', meta, 'state')
if not state then return {'gone', {}, {}, {}} end
local now = now_ms()
local republish, redeliver, recorded = {}, {}, {}
if state == 'open' then
  local n = tonumber(redis.call('HGET', meta, 'n'))
  local deadline = tonumber(redis.call('HGET', meta, 'deadline'))
  if deadline > 0 and now >= deadline then
    for i = 0, n - 1 do
      if redis.call('HSETNX', results, i, ARGV[4]) == 1 then
        recorded[#recorded + 1] = i
        redis.call('HINCRBY', meta, 'done', 1)
      end
    end
    redis.call('DEL', leases)
    satisfy(meta, results, parents, outbox, final, 'timeout', now)
  else
    local after = tonumber(ARGV[2])
    local published = redis.call('HGET', meta, 'pub') == '1'
    local created = tonumber(redis.call('HGET', meta, 'created'))
    for i = 0, n - 1 do
      if redis.call('HEXISTS', results, i) == 0 and redis.call('HGET', meta, 'state') == 'open' then
        local lease = tonumber(redis.call('HGET', leases, i))
        if lease then
          if lease <= now then
            -- its worker died (or stalled past the lease): run it again, or give up
            if tonumber(redis.call('HGET', attempts, i) or '0') >= tonumber(ARGV[1]) then
              if record(meta, results, leases, parents, outbox, final, i, ARGV[5], '0', now) > 0 then
                recorded[#recorded + 1] = i
              end
            else
              redis.call('HDEL', leases, i)
              redis.call('HSET', sent, i, now)
              republish[#republish + 1] = i
            end
          end
        else
          -- never claimed: the enqueuer died before publishing, or the message was lost
          local since = tonumber(redis.call('HGET', sent, i) or created)
          if (not published and now - created >= after) or (published and now - since >= after) then
            redis.call('HSET', sent, i, now)
            republish[#republish + 1] = i
          end
        end
      end
    end
    if not published and now - created >= after then redis.call('HSET', meta, 'pub', 1) end
  end
end
local pending = redis.call('HGETALL', outbox)
for i = 1, #pending, 2 do
  if now - tonumber(pending[i + 1]) >= tonumber(ARGV[3]) then
    -- released but not acknowledged: its deliverer died or lost the reply
    redis.call('HSET', outbox, pending[i], now)
    redeliver[#redeliver + 1] = pending[i]
  end
end
keep(meta, results, sent, outbox)
return {redis.call('HGET', meta, 'state'), republish, redeliver, recorded}
"""

# ARGV: pair. The parent's resume was delivered.
ACK_OUTBOX = """
local outbox = KEYS[1]
redis.call('HDEL', outbox, ARGV[1])
return redis.call('HLEN', outbox)
"""

# ARGV: pair, TTL ms. The parent collected for good: once every parent has,
# the group goes; otherwise its keys expire after the TTL.
ACK_PARENT = """
local meta, results, leases, attempts, parents, outbox, final, specs, sent, acked =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6], KEYS[7], KEYS[8], KEYS[9], KEYS[10]
-- already removed by an earlier acknowledgement, or expired
if redis.call('EXISTS', meta) == 0 then return 0 end
redis.call('HSET', acked, ARGV[1], 1)
if redis.call('HLEN', acked) >= redis.call('HLEN', parents) and redis.call('HLEN', outbox) == 0 then
  redis.call('DEL', meta, results, leases, attempts, parents, outbox, final, specs, sent, acked)
  return 2
end
for i = 1, #KEYS do redis.call('PEXPIRE', KEYS[i], ARGV[2]) end
return 1
"""

# ARGV: expected version, new book JSON, operation id, lifetime ms, the
# completions the new JSON folds in. Compare and set; a write keeps the book
# and its applied ids for the lifetime again. Answers {'ok', new version},
# {'dup'}, or {'stale', version, book JSON, completions}.
BOOK_CAS = """
local book, applied = KEYS[1], KEYS[2]
-- applied by an earlier try whose reply was lost: never twice
if redis.call('SISMEMBER', applied, ARGV[3]) == 1 then return {'dup'} end
local version = redis.call('HGET', book, 'v') or '0'
-- another worker wrote first (or the caller's copy is old): it recomputes
-- from the book sent back here, with no read of its own
if version ~= ARGV[1] then
  return {'stale', version, redis.call('HGET', book, 'json') or '', redis.call('HGET', book, 'completed') or '0'}
end
redis.call('HSET', book, 'v', tonumber(version) + 1, 'json', ARGV[2])
-- completions counted after the writer read the book stay counted
if ARGV[5] ~= '0' then redis.call('HINCRBY', book, 'completed', 0 - tonumber(ARGV[5])) end
redis.call('SADD', applied, ARGV[3])
redis.call('PEXPIRE', book, ARGV[4])
redis.call('PEXPIRE', applied, ARGV[4])
return {'ok', tostring(tonumber(version) + 1)}
"""

# ARGV: operation id, lifetime ms. A child's completion, counted beside the
# book (readers apply it): no version to check, so it never has to retry.
# Answers 1 when counted, 0 when the id was applied before.
BOOK_COMPLETE = """
local book, applied = KEYS[1], KEYS[2]
if redis.call('SADD', applied, ARGV[1]) == 0 then return 0 end
redis.call('HINCRBY', book, 'completed', 1)
redis.call('PEXPIRE', book, ARGV[2])
redis.call('PEXPIRE', applied, ARGV[2])
return 1
"""
