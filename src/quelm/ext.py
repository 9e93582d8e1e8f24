"""Values of Quelm's extension family: :class:`ExtType` and :class:`Timestamp`."""

from __future__ import annotations

import datetime
import operator
from fractions import Fraction
from typing import Any, Iterable, NamedTuple, SupportsIndex, Union

__all__ = ["ExtType", "Timestamp"]

_NS_PER_SECOND = 1_000_000_000
_UTC = datetime.timezone.utc
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=_UTC)

# The decoder raises the same text for a timestamp whose nanoseconds field is
# out of range, so both sides of the package describe the rule identically.
_NANOSECONDS_RANGE = (
    "nanoseconds must be a non-negative integer not greater than 999999999."
)


class _ExtTypeBase(NamedTuple):
    code: int
    data: bytes


class ExtType(_ExtTypeBase):
    """An extension value: an application type ``code`` (-128 to 127) and its
    ``data`` bytes.

    Immutable; compares and hashes by value. Decoders hand extension values
    of an unknown code to ``ext_hook``, which defaults to this class.

    >>> ExtType(5, b"abc")
    ExtType(code=5, data=b'abc')
    """

    __slots__ = ()

    def __new__(cls, code: int, data: bytes) -> ExtType:
        if not isinstance(code, int) or isinstance(code, bool):
            raise TypeError("code must be int")
        if not isinstance(data, bytes):
            raise TypeError("data must be bytes")
        if not -128 <= code <= 127:
            raise ValueError("code must be between -128 and 127")
        return super().__new__(cls, code, data)

    @classmethod
    def _make(cls, iterable: Iterable[Any]) -> ExtType:  # type: ignore[override]
        # The tuple machinery behind _make (and _replace, which calls it)
        # would otherwise build an instance without the checks above.
        return cls(*iterable)


def _exact_int(value: SupportsIndex, name: str) -> int:
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise TypeError(f"{name} must be an integer")
    return operator.index(value)


class Timestamp:
    """An instant as whole ``seconds`` since 1970-01-01 00:00:00 UTC plus
    ``nanoseconds`` (0 to 999,999,999); negative seconds are before 1970.

    This is what the timestamp extension (type code -1) decodes to by default.
    Instances are immutable, hashable and ordered.

    >>> Timestamp(1, 500)
    Timestamp(seconds=1, nanoseconds=500)
    >>> Timestamp.from_unix(-1.5)
    Timestamp(seconds=-2, nanoseconds=500000000)
    >>> Timestamp.from_unix(-1.5).to_unix()
    -1.5
    """

    __slots__ = ("seconds", "nanoseconds")

    seconds: int
    nanoseconds: int

    def __init__(self, seconds: SupportsIndex, nanoseconds: SupportsIndex = 0) -> None:
        secs = _exact_int(seconds, "seconds")
        nanos = _exact_int(nanoseconds, "nanoseconds")
        if not 0 <= nanos < _NS_PER_SECOND:
            raise ValueError(_NANOSECONDS_RANGE)
        object.__setattr__(self, "seconds", secs)
        object.__setattr__(self, "nanoseconds", nanos)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("Timestamp is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Timestamp is immutable")

    def __repr__(self) -> str:
        return f"Timestamp(seconds={self.seconds}, nanoseconds={self.nanoseconds})"

    def _key(self) -> tuple[int, int]:
        return (self.seconds, self.nanoseconds)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._key() == other._key()

    def __ne__(self, other: object) -> bool:
        result = self.__eq__(other)
        return result if result is NotImplemented else not result

    def __lt__(self, other: Timestamp) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._key() < other._key()

    def __le__(self, other: Timestamp) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._key() <= other._key()

    def __gt__(self, other: Timestamp) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._key() > other._key()

    def __ge__(self, other: Timestamp) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._key() >= other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __reduce__(self) -> tuple[type, tuple[int, int]]:
        return (type(self), self._key())

    @classmethod
    def from_unix(cls, unix_sec: Union[int, float, Fraction, Any]) -> Timestamp:
        """The Timestamp of a number of seconds since the epoch.

        Accepts an int, a float, a ``Fraction`` or a ``Decimal``. The value is
        rounded to the nearest nanosecond exactly (a float is taken at its
        exact binary value, so ``from_unix(0.3)`` is 300000000 ns, not one
        less); negative values count back from the epoch with non-negative
        nanoseconds.
        """
        try:
            exact = Fraction(unix_sec)
        except (ValueError, OverflowError):
            raise ValueError(f"cannot make a Timestamp of {unix_sec!r}") from None
        seconds, nanoseconds = divmod(round(exact * _NS_PER_SECOND), _NS_PER_SECOND)
        return cls(seconds, nanoseconds)

    def to_unix(self) -> float:
        """Seconds since the epoch as a float (may lose precision).

        The fraction is computed first and the seconds added last, which is
        what the decoder's ``timestamp=1`` mode returns for the same value.
        """
        return self.nanoseconds / _NS_PER_SECOND + self.seconds

    @classmethod
    def from_unix_nano(cls, unix_ns: SupportsIndex) -> Timestamp:
        """The Timestamp of an integer number of nanoseconds since the epoch."""
        seconds, nanoseconds = divmod(_exact_int(unix_ns, "unix_ns"), _NS_PER_SECOND)
        return cls(seconds, nanoseconds)

    def to_unix_nano(self) -> int:
        """Nanoseconds since the epoch as an exact int."""
        return self.seconds * _NS_PER_SECOND + self.nanoseconds

    def to_datetime(self) -> datetime.datetime:
        """An aware datetime in UTC; nanoseconds below a microsecond are dropped.

        Raises OverflowError outside the years 1 to 9999.
        """
        return _EPOCH + datetime.timedelta(
            seconds=self.seconds, microseconds=self.nanoseconds // 1000
        )

    @classmethod
    def from_datetime(cls, dt: datetime.datetime) -> Timestamp:
        """The Timestamp of an aware datetime (a naive one is refused)."""
        if not isinstance(dt, datetime.datetime):
            raise TypeError("from_datetime() needs a datetime.datetime")
        if dt.tzinfo is None or dt.utcoffset() is None:
            raise ValueError("datetime must be timezone-aware")
        delta = dt - _EPOCH
        seconds = delta.days * 86400 + delta.seconds
        return cls(seconds, delta.microseconds * 1000)
