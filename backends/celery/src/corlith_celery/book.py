"""A spawn tree's SpendBook kept in Redis and shared by every worker of the tree.

Every change reads the book, applies the compiled SpendBook's own method to
it in Python, and writes it back only if nobody wrote in between (a version
check in one script), retrying otherwise. Caps, arithmetic and the
BudgetExceeded messages are therefore the compiled book's; Lua only compares
versions. Each change carries an id and is applied once, however often it is
retried, so a retry after a lost reply never counts twice.

A child's completion is the one change that never conflicts: the script only
counts it beside the book, and whoever reads the book applies
``register_child_completed`` once per counted completion. A writer folds the
completions it read into the book it writes and takes that many off the
count, so completions that arrive meanwhile stay counted. Every worker of a
tree records its children's completions, so they would otherwise make every
other change, and each other, retry.
"""

from __future__ import annotations

import asyncio
import dataclasses
import json
from collections.abc import Callable
from typing import Any

import redis

from corlith_redis._codec import hash_tag, require_prefix
from corlith_runtime.core.runtime.spend_book import BudgetExceeded, SpendBook

from . import _scripts

_FIELDS = tuple(f.name for f in dataclasses.fields(SpendBook))

#: How long a tree's book outlives its last change.
TREE_BOOK_TTL_SECONDS = 30 * 24 * 3600.0


def book_to_json(book: SpendBook) -> str:
    """The book's fields as JSON; floats round-trip exactly."""
    return json.dumps({name: getattr(book, name) for name in _FIELDS}, separators=(",", ":"))


def book_from_json(text: str | bytes) -> SpendBook:
    return SpendBook(**json.loads(text))


class TreeBook:
    """The books of spawn trees under ``prefix``, one per tree id."""

    def __init__(self, client: redis.Redis, *, prefix: str = "corlith",
                 ttl_seconds: float = TREE_BOOK_TTL_SECONDS) -> None:
        """``ttl_seconds``: a tree's book, and the ids of the changes applied to it, go this long
        after its last change; every change starts the time again, so a live tree keeps its book."""
        if not ttl_seconds >= 0.001:
            raise ValueError(f"ttl_seconds must be at least a millisecond: {ttl_seconds!r}")
        self._ttl_ms = str(int(ttl_seconds * 1000))
        self._client = client
        # The last state of each tree this object read or wrote: the next change
        # starts from it and skips a read; the version check catches it if old.
        self._known: dict[str, _State] = {}
        self._prefix = require_prefix(prefix)
        self._cas = client.register_script(_scripts.BOOK_CAS)
        #: The script counting a completion, for callers that send it in a pipeline of their own.
        self.complete = client.register_script(_scripts.BOOK_COMPLETE)

    def keys(self, tree_id: str) -> list[bytes]:
        """The tree's book and its set of applied change ids."""
        tag = hash_tag(self._prefix, "tree", tree_id)
        return [tag + b":book", tag + b":applied"]

    def read(self, tree_id: str) -> SpendBook:
        """The tree's book as it stands (a default SpendBook if none was created)."""
        return _book(self._read(tree_id))

    def _read(self, tree_id: str) -> _State:
        return self._decode(tree_id, self._client.hmget(self.keys(tree_id)[0], _READ))

    def read_call(self, tree_id: str, pipe: Any) -> Callable[[Any], SpendBook]:
        """``read`` queued on the caller's pipeline; answers what turns its reply into the book."""
        pipe.hmget(self.keys(tree_id)[0], _READ)
        return lambda reply: _book(self._decode(tree_id, reply))

    def _decode(self, tree_id: str, reply: list[Any]) -> _State:
        version, text, completed = (part.decode() if isinstance(part, bytes) else part for part in reply)
        state = (version or "0", text, int(completed or 0))
        if text is not None:
            # A fresh read: the next change here starts from it instead of reading again.
            self._remember(tree_id, state)
        return state

    def create(self, tree_id: str, book: SpendBook) -> bool:
        """Store the root's book; False (and nothing changed) if the tree has one."""
        return self._apply(tree_id, f"create:{tree_id}", lambda current: book, initial=book)

    def debit(self, tree_id: str, *, debit_id: str, cost_usd: float = 0.0, tokens: int = 0,
              tool_name: str | None = None) -> None:
        """``SpendBook.debit`` on the shared book, once per ``debit_id``.

        Raises BudgetExceeded exactly as the compiled book does; the spend stays
        recorded. A debit id seen before changes nothing, and raises if the book
        is over a cap, as a repeated debit would.
        """
        def step(book: SpendBook) -> None:
            book.debit(cost_usd=cost_usd, tokens=tokens, tool_name=tool_name)
        self._apply(tree_id, f"debit:{debit_id}", step, replay_raises=True)

    async def adebit(self, tree_id: str, *, debit_id: str, cost_usd: float = 0.0, tokens: int = 0,
                     tool_name: str | None = None) -> None:
        """``debit`` off the event loop."""
        await asyncio.to_thread(self.debit, tree_id, debit_id=debit_id, cost_usd=cost_usd,
                                tokens=tokens, tool_name=tool_name)

    def register_child_spawned(self, tree_id: str, child_run_id: str) -> None:
        self._apply(tree_id, f"spawned:{child_run_id}", lambda book: book.register_child_spawned())

    def register_children_spawned(self, tree_id: str, group_id: str, count: int) -> None:
        """``register_child_spawned`` for each child of a group, in one change applied once per group."""
        def step(book: SpendBook) -> None:
            for _ in range(count):
                book.register_child_spawned()
        self._apply(tree_id, f"spawned-group:{group_id}", step)

    def register_child_completed(self, tree_id: str, child_run_id: str) -> None:
        keys, args = self.completed_call(tree_id, child_run_id)
        self.complete(keys=keys, args=args)

    def completed_call(self, tree_id: str, child_run_id: str) -> tuple[list[bytes], list[str]]:
        """The keys and arguments of ``register_child_completed``'s script, for the caller's pipeline."""
        return self.keys(tree_id), [f"completed:{child_run_id}", self._ttl_ms]

    def _remember(self, tree_id: str, state: _State) -> None:
        if len(self._known) >= 1024 and tree_id not in self._known:
            # another thread may drop the same oldest entry meanwhile
            self._known.pop(next(iter(self._known), ""), None)
        self._known[tree_id] = state

    def _apply(self, tree_id: str, op_id: str, step: Callable[[SpendBook], Any], *,
               initial: SpendBook | None = None, replay_raises: bool = False) -> bool:
        keys = self.keys(tree_id)
        known = self._known.get(tree_id) if initial is None else None
        state = known or self._read(tree_id)
        while True:
            version, _, completed = state
            if initial is not None and (version != "0" or completed):
                return False
            book = _book(state)
            breach: BudgetExceeded | None = None
            try:
                result = step(book)
            except BudgetExceeded as error:
                breach = error  # the spend is recorded all the same, as in the compiled book
                result = None
            text = book_to_json(result if isinstance(result, SpendBook) else book)
            reply = [part.decode() if isinstance(part, bytes) else part
                     for part in self._cas(keys=keys, args=[version, text, op_id, self._ttl_ms, completed])]
            outcome = reply[0]
            if outcome == "stale":
                state = (reply[1], reply[2] or None, int(reply[3]))
                continue
            if outcome == "ok":
                # the completions read are in the book now; any counted since stay counted
                self._remember(tree_id, (reply[1], text, 0))
            else:
                self._known.pop(tree_id, None)
            if outcome == "dup":
                if replay_raises:
                    self.read(tree_id).debit(cost_usd=0.0)  # raises while a cap stays exceeded
                return False
            if breach is not None:
                raise breach
            return True


#: A tree's book as read: its version, its JSON (None before the first write), and the completions counted beside it.
_State = tuple[str, str | None, int]
_READ = ["v", "json", "completed"]


def _book(state: _State) -> SpendBook:
    _, text, completed = state
    book = book_from_json(text) if text is not None else SpendBook()
    for _ in range(completed):
        book.register_child_completed()
    return book
