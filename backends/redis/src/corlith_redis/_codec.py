"""Exact, type-preserving storage of waiter records as JSON text.

JSON keeps ``int``, ``float``, ``bool``, ``str``, ``None``, lists and dicts
apart, so a value built only from those comes back equal and of the same
types. Anything JSON would silently change (a tuple becoming a list, an
``int`` key becoming a ``str``, a subclass losing its class) is refused.
"""

from __future__ import annotations

import json
import math
from typing import Any

from corlith_runtime.core.runtime.waiters import SignalWaiter, TimerWaiter, UserInputWaiter

_SCALARS = (type(None), bool, int, float, str)


def check_storable(value: object, where: str) -> None:
    """Raise TypeError unless ``value`` survives a JSON round trip unchanged."""
    _check(value, where, set())


def _check(value: object, where: str, open_containers: set[int]) -> None:
    kind = type(value)
    if kind in _SCALARS:
        if isinstance(value, float) and math.isnan(value):
            # NaN equals nothing, not even a copy of itself: a stored NaN could never match.
            raise TypeError(f"{where} is NaN, which cannot be stored faithfully")
        return
    if kind is not list and kind is not dict:
        raise TypeError(
            f"{where} is of type {kind.__name__}, which cannot be stored faithfully;"
            " use None, bool, int, float, str, list or dict (str keys)"
        )
    if id(value) in open_containers:
        raise TypeError(f"{where} contains itself, which cannot be stored")
    open_containers.add(id(value))
    if isinstance(value, list):
        for index, item in enumerate(value):
            _check(item, f"{where}[{index}]", open_containers)
    elif isinstance(value, dict):
        for key, item in value.items():
            if type(key) is not str:
                raise TypeError(
                    f"{where} has a key {key!r} of type {type(key).__name__}; only str keys can be stored"
                )
            _check(item, f"{where}[{key!r}]", open_containers)
    open_containers.discard(id(value))


def _text_bytes(text: str) -> bytes:
    # JSON's \u escapes would write an astral character and the two lone
    # surrogates of its UTF-16 form alike; raw text with surrogatepass keeps
    # them apart (and anything without lone surrogates is plain UTF-8).
    return text.encode("utf-8", "surrogatepass")


def _json_bytes(value: object) -> bytes:
    return _text_bytes(json.dumps(value, ensure_ascii=False, separators=(",", ":")))


def _load(data: bytes | str) -> Any:
    return json.loads(data.decode("utf-8", "surrogatepass") if isinstance(data, bytes) else data)


def _dump(fields: dict[str, Any]) -> bytes:
    return _json_bytes(fields)


def _require_record(waiter: object, cls: type, method: str) -> None:
    if type(waiter) is not cls:
        raise TypeError(f"{method}() needs a {cls.__name__}, not {type(waiter).__name__}")


def _require_id(record: str, field: str, value: object) -> None:
    if type(value) is not str:
        raise TypeError(f"{record}.{field} must be a str, not {type(value).__name__}")


def encode_signal_waiter(waiter: object) -> bytes:
    """Validate and serialise a SignalWaiter."""
    _require_record(waiter, SignalWaiter, "register_signal_waiter")
    assert isinstance(waiter, SignalWaiter)
    for field in ("parent_run_id", "resume_key", "signal_name"):
        _require_id("SignalWaiter", field, getattr(waiter, field))
    check_storable(waiter.match, "SignalWaiter.match")
    check_storable(waiter.timeout_at_unix, "SignalWaiter.timeout_at_unix")
    return _dump(
        {"p": waiter.parent_run_id, "r": waiter.resume_key, "s": waiter.signal_name,
         "m": waiter.match, "t": waiter.timeout_at_unix}
    )


def decode_signal_waiter(data: bytes | str) -> SignalWaiter:
    """Rebuild a SignalWaiter from its stored form."""
    f = _load(data)
    return SignalWaiter(f["p"], f["r"], f["s"], f["m"], f["t"])


def timer_score(waiter: object) -> float:
    """Validate a TimerWaiter and return its due time as a sorted-set score.

    Scores are doubles, so a due time that a double cannot hold exactly
    (an int beyond 2**53 that is not a multiple of its spacing, or beyond the
    double range) is refused: stored rounded, it could fall due at a clock
    reading the in-memory registry still keeps it at.
    """
    _require_record(waiter, TimerWaiter, "register_timer")
    assert isinstance(waiter, TimerWaiter)
    for field in ("parent_run_id", "resume_key"):
        _require_id("TimerWaiter", field, getattr(waiter, field))
    due = waiter.resume_at_unix
    if type(due) not in (int, float, bool):
        raise TypeError(f"TimerWaiter.resume_at_unix must be a number, not {type(due).__name__}")
    check_storable(due, "TimerWaiter.resume_at_unix")
    try:
        score = float(due)
    except OverflowError:
        score = math.nan
    if score != due:
        # No repr: an int this large may exceed the digits str() will write.
        raise TypeError("TimerWaiter.resume_at_unix is an int that a float cannot hold exactly;"
                        " use a float or an int within 2**53")
    return score


def clock_floor(now: object) -> float:
    """The largest double not after ``now``: a double due time is due exactly when it is at most this.

    NaN stays NaN (nothing is due); a value that cannot be compared with a float
    raises the TypeError the comparison raises.
    """
    try:
        floor = float(now)  # type: ignore[arg-type]
    except OverflowError:
        floor = math.inf if now > 0 else -math.inf  # type: ignore[operator]
    if floor > now:  # type: ignore[operator]
        floor = math.nextafter(floor, -math.inf)
    return floor


def encode_timer(waiter: TimerWaiter) -> bytes:
    """Serialise a TimerWaiter already checked by ``timer_score``."""
    return _dump({"p": waiter.parent_run_id, "r": waiter.resume_key, "at": waiter.resume_at_unix})


def decode_timer(data: bytes | str) -> TimerWaiter:
    """Rebuild a TimerWaiter from its stored form."""
    f = _load(data)
    return TimerWaiter(f["p"], f["r"], f["at"])


def encode_user_input_waiter(waiter: object) -> bytes:
    """Validate and serialise a UserInputWaiter."""
    _require_record(waiter, UserInputWaiter, "register_user_input_waiter")
    assert isinstance(waiter, UserInputWaiter)
    for field in ("parent_run_id", "resume_key"):
        _require_id("UserInputWaiter", field, getattr(waiter, field))
    check_storable(waiter.question, "UserInputWaiter.question")
    check_storable(waiter.choices, "UserInputWaiter.choices")
    check_storable(waiter.timeout_at_unix, "UserInputWaiter.timeout_at_unix")
    return _dump(
        {"p": waiter.parent_run_id, "r": waiter.resume_key, "q": waiter.question,
         "c": waiter.choices, "t": waiter.timeout_at_unix}
    )


def decode_user_input_waiter(data: bytes | str) -> UserInputWaiter:
    """Rebuild a UserInputWaiter from its stored form."""
    f = _load(data)
    return UserInputWaiter(f["p"], f["r"], f["q"], f["c"], f["t"])


def pair_key(parent_run_id: str, resume_key: str) -> bytes:
    """A (parent_run_id, resume_key) pair as ASCII JSON, the form other backends' messages carry.

    Not a key part for texts with lone surrogates: an astral character and its
    two UTF-16 halves come out alike. ``input_key`` keeps them apart.
    """
    return json.dumps([parent_run_id, resume_key], ensure_ascii=True).encode("ascii")


def input_key(parent_run_id: str, resume_key: str) -> bytes:
    """An unambiguous key part for a (parent_run_id, resume_key) pair."""
    return _json_bytes([parent_run_id, resume_key])


def hash_tag(*parts: str) -> bytes:
    """A hash tag naming ``parts`` injectively: their JSON array, braces escaped.

    The escapes keep ``}`` out of the tag, so the tag ends at its own closing
    brace and a cluster places every key that starts with it in one slot;
    decoding the JSON gives the parts back, so different parts never share a tag.
    """
    text = json.dumps(list(parts), ensure_ascii=False, separators=(",", ":"))
    return b"{" + _text_bytes(text.replace("{", "\\u007b").replace("}", "\\u007d")) + b"}"


def require_prefix(prefix: object) -> str:
    """Refuse a prefix that is not a str before any key is built from it."""
    if type(prefix) is not str:
        raise TypeError(f"prefix must be a str, not {type(prefix).__name__}")
    return prefix


def name_key(name: str) -> bytes:
    """A key part for a free-form name; lone surrogates stay distinct from real text."""
    return _text_bytes(name)
