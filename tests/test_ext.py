import copy
import datetime
import pickle
import re
from decimal import Decimal
from fractions import Fraction

import pytest

from quelm import ExtType, Timestamp

UTC = datetime.timezone.utc


# ------------------------------------------------------------------ ExtType


@pytest.mark.parametrize(
    "code, data, error, message",
    [
        pytest.param(128, b"", ValueError, "code must be between -128 and 127", id="code-128"),
        pytest.param(-129, b"", ValueError, "code must be between -128 and 127", id="code--129"),
        pytest.param(1.0, b"", TypeError, "code must be int", id="float-code"),
        pytest.param(True, b"", TypeError, "code must be int", id="bool-code"),
        pytest.param(1, bytearray(b"x"), TypeError, "data must be bytes", id="bytearray-data"),
        pytest.param(1, "x", TypeError, "data must be bytes", id="str-data"),
    ],
)
def test_exttype_refuses(code, data, error, message):
    with pytest.raises(error, match=re.escape(message)):
        ExtType(code, data)


@pytest.mark.parametrize("code", [-128, -1, 0, 127])
def test_exttype_accepts_the_whole_code_range(code):
    ext = ExtType(code, b"ab")
    assert (ext.code, ext.data) == (code, b"ab")


def test_exttype_replace_and_make_validate():
    ext = ExtType(1, b"a")
    assert ext._replace(code=2) == ExtType(2, b"a")
    with pytest.raises(ValueError):
        ext._replace(code=1000)
    with pytest.raises(TypeError):
        ExtType._make([1, "text"])


def test_exttype_is_immutable_and_compares_by_value():
    ext = ExtType(5, b"abc")
    with pytest.raises(AttributeError):
        ext.code = 6  # type: ignore[misc]
    assert ext == ExtType(5, b"abc") and ext != ExtType(5, b"abd") and ext != ExtType(6, b"abc")
    assert hash(ext) == hash(ExtType(5, b"abc"))
    assert {ext: 1}[ExtType(5, b"abc")] == 1
    assert repr(ext) == "ExtType(code=5, data=b'abc')"


def test_exttype_pickles_and_copies():
    ext = ExtType(-5, b"\x00\xff")
    assert pickle.loads(pickle.dumps(ext)) == ext
    assert type(copy.deepcopy(ext)) is ExtType


# ---------------------------------------------------------------- Timestamp


@pytest.mark.parametrize(
    "args, error, message",
    [
        pytest.param((0, -1), ValueError,
                     "nanoseconds must be a non-negative integer not greater than 999999999.",
                     id="negative-ns"),
        pytest.param((0, 10**9), ValueError,
                     "nanoseconds must be a non-negative integer not greater than 999999999.",
                     id="ns-1e9"),
        pytest.param((1.5, 0), TypeError, "seconds must be an integer", id="float-seconds"),
        pytest.param((0, 1.0), TypeError, "nanoseconds must be an integer", id="float-ns"),
        pytest.param((True, 0), TypeError, "seconds must be an integer", id="bool-seconds"),
    ],
)
def test_timestamp_refuses(args, error, message):
    with pytest.raises(error, match=re.escape(message)):
        Timestamp(*args)


def test_timestamp_accepts_index_objects_and_stores_plain_ints():
    class Index:
        def __index__(self):
            return 7

    ts = Timestamp(Index(), Index())
    assert (type(ts.seconds), ts.seconds, ts.nanoseconds) == (int, 7, 7)
    assert Timestamp(0, 999_999_999).nanoseconds == 999_999_999


def test_timestamp_is_immutable():
    ts = Timestamp(1, 2)
    with pytest.raises(AttributeError):
        ts.seconds = 5  # type: ignore[misc]
    with pytest.raises(AttributeError):
        del ts.nanoseconds
    assert ts == Timestamp(1, 2)


def test_timestamp_equality_hash_and_order():
    a, b, c = Timestamp(-1, 999_999_999), Timestamp(0, 0), Timestamp(0, 1)
    assert a < b < c and c > b > a and a <= a and c >= c
    assert sorted([c, a, b]) == [a, b, c]
    assert Timestamp(3, 4) == Timestamp(3, 4) and Timestamp(3, 4) != Timestamp(3, 5)
    assert hash(Timestamp(3, 4)) == hash(Timestamp(3, 4))
    assert len({Timestamp(3, 4), Timestamp(3, 4), Timestamp(4, 3)}) == 2
    assert Timestamp(1, 0) != (1, 0)
    with pytest.raises(TypeError):
        Timestamp(1, 0) < (1, 0)  # noqa: B015


def test_timestamp_repr_pickle_copy():
    ts = Timestamp(-5, 7)
    assert repr(ts) == "Timestamp(seconds=-5, nanoseconds=7)"
    assert pickle.loads(pickle.dumps(ts)) == ts
    assert copy.copy(ts) == ts and copy.deepcopy(ts) == ts


@pytest.mark.parametrize(
    "unix, seconds, nanoseconds",
    [
        pytest.param(0, 0, 0, id="zero"),
        pytest.param(1.5, 1, 500_000_000, id="1.5"),
        pytest.param(-1.5, -2, 500_000_000, id="-1.5"),
        pytest.param(-0.25, -1, 750_000_000, id="-0.25"),
        pytest.param(0.3, 0, 300_000_000, id="0.3-rounds-not-truncates"),
        pytest.param(1.1, 1, 100_000_000, id="1.1"),
        pytest.param(-1e-10, 0, 0, id="tiny-negative-rounds-to-zero"),
        pytest.param(-1e-9, -1, 999_999_999, id="minus-one-ns"),
        pytest.param(1_700_000_000.123456, 1_700_000_000, 123_456_001, id="float-precision"),
        pytest.param(-(2**40), -(2**40), 0, id="large-negative-int"),
        pytest.param(Fraction(-1, 3), -1, 666_666_667, id="fraction"),
        pytest.param(Decimal("-1.000000001"), -2, 999_999_999, id="decimal"),
    ],
)
def test_from_unix(unix, seconds, nanoseconds):
    assert Timestamp.from_unix(unix) == Timestamp(seconds, nanoseconds)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), float("-inf")])
def test_from_unix_refuses_non_finite(bad):
    with pytest.raises(ValueError):
        Timestamp.from_unix(bad)


@pytest.mark.parametrize(
    "ts, unix",
    [
        pytest.param(Timestamp(-2, 500_000_000), -1.5, id="-1.5"),
        pytest.param(Timestamp(-1, 0), -1.0, id="-1"),
        pytest.param(Timestamp(0, 1), 1e-9, id="1ns"),
        pytest.param(Timestamp(1, 0), 1.0, id="1"),
    ],
)
def test_to_unix(ts, unix):
    assert ts.to_unix() == unix
    assert Timestamp.from_unix(unix) == ts


@pytest.mark.parametrize(
    "ns, seconds, nanoseconds",
    [
        pytest.param(0, 0, 0, id="zero"),
        pytest.param(-1, -1, 999_999_999, id="minus-one"),
        pytest.param(1_500_000_000, 1, 500_000_000, id="1.5s"),
        pytest.param(-(2**63) * 10**9, -(2**63), 0, id="int64-min-seconds"),
        pytest.param((2**64) * 10**9 + 5, 2**64, 5, id="beyond-float-precision"),
    ],
)
def test_unix_nano_round_trip(ns, seconds, nanoseconds):
    ts = Timestamp.from_unix_nano(ns)
    assert ts == Timestamp(seconds, nanoseconds)
    assert ts.to_unix_nano() == ns


@pytest.mark.parametrize(
    "ts, dt",
    [
        pytest.param(Timestamp(0, 0), datetime.datetime(1970, 1, 1, tzinfo=UTC), id="epoch"),
        pytest.param(Timestamp(-1, 500_000_000),
                     datetime.datetime(1969, 12, 31, 23, 59, 59, 500000, tzinfo=UTC),
                     id="before-1970-fraction"),
        pytest.param(Timestamp(-86400 * 365, 0), datetime.datetime(1969, 1, 1, tzinfo=UTC),
                     id="1969"),
        pytest.param(Timestamp(-62135596800, 0), datetime.datetime(1, 1, 1, tzinfo=UTC),
                     id="year-1"),
        pytest.param(Timestamp(253402300799, 999_999_000),
                     datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
                     id="year-9999"),
    ],
)
def test_datetime_both_ways(ts, dt):
    assert ts.to_datetime() == dt
    assert ts.to_datetime().tzinfo is not None
    assert Timestamp.from_datetime(dt) == ts


def test_to_datetime_drops_sub_microseconds_toward_the_past():
    assert Timestamp(-1, 1_999).to_datetime() == datetime.datetime(
        1969, 12, 31, 23, 59, 59, 1, tzinfo=UTC)


def test_to_datetime_out_of_range():
    with pytest.raises(OverflowError):
        Timestamp(2**40, 0).to_datetime()


def test_from_datetime_other_zone_and_naive():
    zone = datetime.timezone(datetime.timedelta(hours=2))
    assert Timestamp.from_datetime(datetime.datetime(1970, 1, 1, 2, tzinfo=zone)) == Timestamp(0, 0)
    with pytest.raises(ValueError, match="timezone-aware"):
        Timestamp.from_datetime(datetime.datetime(1970, 1, 1))
    with pytest.raises(TypeError):
        Timestamp.from_datetime(datetime.date(1970, 1, 1))  # type: ignore[arg-type]
