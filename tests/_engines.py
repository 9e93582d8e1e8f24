"""Classes and functions the engine tests send to worker processes, which
import them from here by name."""

import dataclasses
import datetime
import enum
import uuid


class Colour(enum.Enum):
    RED = "red"


@dataclasses.dataclass
class Job:
    id: uuid.UUID
    colour: Colour
    tags: frozenset
    at: datetime.datetime
    blob: bytes


def echo(value):
    return value


def call(*args, **kwargs):
    return {"args": args, "kwargs": kwargs, "types": [type(a).__name__ for a in args]}


def fail(reason):
    raise RuntimeError(f"failed on purpose: {reason}")
