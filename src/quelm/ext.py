"""Values of Quelm's extension family: :class:`ExtType` and :class:`Timestamp`."""

from __future__ import annotations

import datetime
from typing import Any, NamedTuple

__all__ = ["ExtType", "Timestamp"]

_NS_PER_SECOND = 1_000_000_000
_UTC = datetime.timezone.utc
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=_UTC)


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
            raise ValueError("code must be 0~127")
        return super().__new__(cls, code, data)


class Timestamp:
    """An instant as whole ``seconds`` since 1970-01-01 00:00:00 UTC plus
    ``nanoseconds`` (0 to 999,999,999); negative seconds are before 1970.

    This is what the timestamp extension (type code -1) decodes to by default.

    >>> Timestamp(1, 500)
    Timestamp(seconds=1, nanoseconds=500)
    >>> Timestamp.from_unix(-1.5).to_unix()
    -1.5
    """

    __slots__ = ("seconds", "nanoseconds")

    seconds: int
    nanoseconds: int

    def __init__(self, seconds: int, nanoseconds: int = 0) -> None:
        if not isinstance(seconds, int) or isinstance(seconds, bool):
            raise TypeError("seconds must be an integer")
        if not isinstance(nanoseconds, int) or isinstance(nanoseconds, bool):
            raise TypeError("nanoseconds must be an integer")
        if not 0 <= nanoseconds < _NS_PER_SECOND:
            raise ValueError(
                "nanoseconds must be a non-negative integer less than 999999999."
            )
        object.__setattr__(self, "seconds", seconds)
        object.__setattr__(self, "nanoseconds", nanoseconds)

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
        return self._key() == other._key()  # type: ignore[attr-defined]

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
    def from_unix(cls, unix_sec: float) -> Timestamp:
        """The Timestamp of a float (or int) number of seconds since the epoch."""
        seconds = int(unix_sec // 1)
        nanoseconds = int((unix_sec % 1) * _NS_PER_SECOND)
        if nanoseconds >= _NS_PER_SECOND:  # rounding of the fraction
            seconds, nanoseconds = seconds + 1, nanoseconds - _NS_PER_SECOND
        return cls(seconds, nanoseconds)

    def to_unix(self) -> float:
        """Seconds since the epoch as a float (may lose precision)."""
        return self.seconds + self.nanoseconds / _NS_PER_SECOND

    @classmethod
    def from_unix_nano(cls, unix_ns: int) -> Timestamp:
        """The Timestamp of an integer number of nanoseconds since the epoch."""
        seconds, nanoseconds = divmod(unix_ns, _NS_PER_SECOND)
        return cls(seconds, nanoseconds)

    def to_unix_nano(self) -> int:
        """Nanoseconds since the epoch as an exact int."""
        return self.seconds * _NS_PER_SECOND + self.nanoseconds

    def to_datetime(self) -> datetime.datetime:
        """An aware datetime in UTC; nanoseconds below a microsecond are dropped."""
        return _EPOCH + datetime.timedelta(
            seconds=self.seconds, microseconds=self.nanoseconds // 1000
        )

    @classmethod
    def from_datetime(cls, dt: datetime.datetime) -> Timestamp:
        """The Timestamp of an aware datetime (a naive one is refused)."""
        if dt.tzinfo is None:
            raise ValueError("datetime must be timezone-aware")
        delta = dt - _EPOCH
        seconds = delta.days * 86400 + delta.seconds
        return cls(seconds, delta.microseconds * 1000)
