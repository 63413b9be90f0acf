"""Classification of a failed run from its envelope data."""

import sys
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st

from corlith_runtime.core.runtime.exit_triage import classify_failure

SIGNAL, OOM, ABNORMAL, UNKNOWN = "terminated_by_signal", "suspected_oom", "abnormal_exit", "unknown"


class _Answer:
    """A last event that is not a str but answers the prefix test."""

    def __init__(self, answer):
        self.answer = answer

    def startswith(self, prefix):
        return self.answer


class _NeverSignal(str):
    def startswith(self, *args, **kwargs):
        return False


class _Reading:
    """A memory reading whose int() returns a scripted value or raises a fresh exception."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __int__(self):
        if isinstance(self.outcome, type):
            raise self.outcome("scripted")
        return self.outcome


class _RiggedInt(int):
    def __int__(self):
        return 0


class _ValueErrorKind(ValueError):
    pass


class _TypeErrorKind(TypeError):
    pass


class _Sentinel(Exception):
    pass


class _Undecidable:
    def __bool__(self):
        raise _Sentinel("no truth value")


CLASSIFICATIONS = [
    ({}, UNKNOWN),
    ({"unrelated": 1}, ABNORMAL),
    ({"memory_mb": 4096}, ABNORMAL),  # not the key that is read
    ({"last_event": ""}, ABNORMAL),
    # the signal rule comes first, whatever the memory reading
    ({"last_event": "signal_SIGTERM", "memory_rss_mb": 10**6}, SIGNAL),
    ({"last_event": "signal_"}, SIGNAL),
    ({"last_event": "signal_SIGKILL", "memory_rss_mb": float("inf")}, SIGNAL),
    ({"last_event": "signal_SIGKILL", "memory_rss_mb": "junk"}, SIGNAL),
    ({"last_event": "SIGNAL_SIGTERM"}, ABNORMAL),
    ({"last_event": "Signal_SIGTERM", "memory_rss_mb": 3}, OOM),
    ({"last_event": "exit after signal_SIGTERM"}, ABNORMAL),
    ({"last_event": _NeverSignal("signal_SIGTERM")}, ABNORMAL),
    ({"last_event": _Answer([1])}, SIGNAL),
    ({"last_event": _Answer(0), "memory_rss_mb": 2}, OOM),
    # readings above 0, directly or through int()
    ({"memory_rss_mb": 1}, OOM),
    ({"memory_rss_mb": "512"}, OOM),
    ({"memory_rss_mb": " +7\n"}, OOM),
    ({"memory_rss_mb": "1_000"}, OOM),
    ({"memory_rss_mb": "\u0663"}, OOM),
    ({"memory_rss_mb": b"5"}, OOM),
    ({"memory_rss_mb": 1.5}, OOM),
    ({"memory_rss_mb": True}, OOM),
    ({"memory_rss_mb": _Reading(4)}, OOM),
    # readings of 0 or below
    ({"memory_rss_mb": 0}, ABNORMAL),
    ({"memory_rss_mb": -5}, ABNORMAL),
    ({"memory_rss_mb": 0.9}, ABNORMAL),
    ({"memory_rss_mb": -0.5}, ABNORMAL),
    ({"memory_rss_mb": " 0 "}, ABNORMAL),
    ({"memory_rss_mb": False}, ABNORMAL),
    ({"memory_rss_mb": _RiggedInt(5)}, ABNORMAL),  # not exactly an int, so int() decides
    # unconvertible readings: the ValueError or TypeError is swallowed
    ({"memory_rss_mb": "1.5"}, ABNORMAL),
    ({"memory_rss_mb": ""}, ABNORMAL),
    ({"memory_rss_mb": "9" * 5000}, ABNORMAL),
    ({"memory_rss_mb": None}, ABNORMAL),
    ({"memory_rss_mb": []}, ABNORMAL),
    ({"memory_rss_mb": float("nan")}, ABNORMAL),
    ({"memory_rss_mb": 1j}, ABNORMAL),
    ({"memory_rss_mb": _Reading("3")}, ABNORMAL),
    ({"memory_rss_mb": _Reading(_ValueErrorKind)}, ABNORMAL),
    ({"memory_rss_mb": _Reading(_TypeErrorKind)}, ABNORMAL),
]


@pytest.mark.parametrize("envelope, expected", CLASSIFICATIONS)
def test_classification(envelope, expected, no_leak):
    before = dict(envelope)
    result = classify_failure(envelope)
    assert type(result) is str and result == expected
    assert list(envelope.items()) == list(before.items())
    no_leak(lambda: classify_failure(envelope))


RAISING = [
    ({"last_event": None}, lambda: None.startswith("signal_")),
    ({"last_event": None, "memory_rss_mb": 512}, lambda: None.startswith("signal_")),
    ({"last_event": 7}, lambda: (7).startswith("signal_")),
    ({"last_event": b"signal_SIGTERM"}, lambda: b"signal_SIGTERM".startswith("signal_")),
    ({"last_event": _Answer(_Undecidable())}, lambda: bool(_Undecidable())),
    ({"memory_rss_mb": float("inf")}, lambda: int(float("inf"))),
    ({"memory_rss_mb": Decimal("Infinity")}, lambda: int(Decimal("Infinity"))),
    ({"memory_rss_mb": _Reading(_Sentinel)}, lambda: int(_Reading(_Sentinel))),
    ({"memory_rss_mb": _Reading(ZeroDivisionError)}, lambda: int(_Reading(ZeroDivisionError))),
]


@pytest.mark.parametrize("envelope, reference", RAISING)
def test_errors_outside_the_swallowed_kinds_propagate(envelope, reference, no_leak):
    with pytest.raises(Exception) as expected:
        reference()
    kind = type(expected.value)
    with pytest.raises(kind) as info:
        classify_failure(envelope)
    assert type(info.value) is kind and str(info.value) == str(expected.value)
    no_leak(lambda: classify_failure(envelope), raises=kind)


def test_prefix_test_calls_startswith_once_with_the_prefix():
    calls = []

    class Event:
        def startswith(self, *args, **kwargs):
            calls.append((args, kwargs))
            return False

    assert classify_failure({"last_event": Event()}) == ABNORMAL
    assert calls == [(("signal_",), {})]


def test_swallowed_conversion_error_leaves_the_handled_exception_alone():
    assert classify_failure({"memory_rss_mb": "x"}) == ABNORMAL
    assert sys.exception() is None
    try:
        raise LookupError("outer")
    except LookupError as outer:
        assert classify_failure({"memory_rss_mb": None}) == ABNORMAL
        assert sys.exception() is outer


def _oracle(envelope):
    if not envelope:
        return UNKNOWN
    if envelope.get("last_event", "").startswith("signal_"):
        return SIGNAL
    try:
        reading = envelope.get("memory_rss_mb", 0)
        if (reading if type(reading) is int else int(reading)) > 0:
            return OOM
    except (ValueError, TypeError):
        pass
    return ABNORMAL


_events = st.one_of(st.text(max_size=12), st.text(max_size=8).map("signal_".__add__),
                    st.sampled_from(["signal_SIGTERM", "SIGNAL_SIGTERM", "signal", "ssignal_"]))
_readings = st.one_of(st.integers(), st.booleans(), st.none(), st.floats(allow_infinity=False),
                      st.integers().map(str), st.text(max_size=8), st.binary(max_size=4),
                      st.integers(-9, 9).map(lambda n: f" {n:+} "))
_envelopes = st.fixed_dictionaries({}, optional={"last_event": _events, "memory_rss_mb": _readings,
                                                 "memory_mb": st.integers(), "status": st.text(max_size=4)})


@settings(database=None, max_examples=300)
@given(_envelopes)
def test_classification_agrees_with_the_rules(envelope):
    assert classify_failure(envelope) == _oracle(envelope)
