"""parse_duration against the plain-Python rendering of the same algorithm, over
generated texts, numbers and unit tables: the same result, or the same error type
and message."""

import math
import pathlib
import sys
from collections import UserDict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corlith_runtime.core.runtime import waiters

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "benchmarks"))
from baseline import waiters as reference  # noqa: E402


class Str(str):
    pass


class Shouting(str):
    """strip() and lower() overridden: the parser must call them."""

    def strip(self):
        return Str(str.strip(self) + "5s")

    def lower(self):
        return str.upper(self)


class Int(int):
    pass


class Float(float):
    pass


# Digits of several scripts (decimal and merely isdigit()), whitespace of
# several kinds, unit letters of both cases and letters that lower-case into
# other letters.
ALPHABET = list("0123456789.smhdSMHD") + [
    "\u0663", "\uff15", "\u00b2", "\u07c0", " ", "\t", "\n", "\u3000", "\u00a0", "\u2028", "\x1c",
    "x", "e", "-", "+", "_", "\u212a", "\u0130", "\u03a3",
]
texts = st.one_of(
    st.text(st.sampled_from(ALPHABET), max_size=24),
    st.text(max_size=12),
    st.builds(lambda parts: "".join(parts), st.lists(st.tuples(st.integers(0, 10**20).map(str),
                                                              st.sampled_from(["", ".", ".5", " "]),
                                                              st.sampled_from("smhdSMHD ")).map("".join),
                                                    max_size=5)),
)
values = st.one_of(
    texts,
    texts.map(Str),
    texts.map(Shouting),
    st.integers(),
    st.integers().map(Int),
    st.floats(),
    st.floats().map(Float),
    st.booleans(),
    st.sampled_from([None, b"1s", [], 1j]),
)
UNIT_TABLES = [
    None,  # the module's own
    {"s": 1, "m": 60, "h": 3600, "d": 86400},  # ints: the host's mixed arithmetic
    UserDict({"s": 1.0, "m": 60.0}),  # not a dict: `in` then `[]`
    {"s": 1.0, " ": 2.0, "x": 0.5, "\u212a": 7.0},  # whitespace and other characters as units
    {"m": "60"},  # a value the arithmetic refuses
]


def outcome(parse, value):
    try:
        result = parse(value)
    except Exception as exc:  # noqa: BLE001 - the error itself is compared
        return type(exc), str(exc)
    if isinstance(result, float) and math.isnan(result):
        return type(result), "nan"
    return type(result), repr(result)




@settings(max_examples=400, deadline=None)
@given(values)
def test_parse_duration_matches_reference(value):
    assert outcome(waiters.parse_duration, value) == outcome(reference.parse_duration, value)


@pytest.mark.parametrize("table", range(1, len(UNIT_TABLES)))
@settings(max_examples=150, deadline=None)
@given(value=texts)
def test_parse_duration_matches_reference_with_other_units(table, value):
    saved = waiters._DURATION_UNITS, reference._DURATION_UNITS
    waiters._DURATION_UNITS = reference._DURATION_UNITS = UNIT_TABLES[table]
    try:
        assert outcome(waiters.parse_duration, value) == outcome(reference.parse_duration, value)
    finally:
        waiters._DURATION_UNITS, reference._DURATION_UNITS = saved


@pytest.mark.parametrize("text", [
    "1." + "0" * 20 + "1s", "0." + "0" * 16 + "1m", "9" * 16 + "h", "1 2 3 . 4 5 h", "123456789012345.h",
    ".000000000000001s", "1..5s", ".", "\u0663\u0660m", "\u00b2s", "5" * 400, "0s0m", "  0S ",
])
def test_parse_duration_long_and_odd_numbers(text):
    assert outcome(waiters.parse_duration, text) == outcome(reference.parse_duration, text)
