"""What the engine tests share: classes and functions they send to worker
processes, which import them from here by name, and the README's examples."""

import dataclasses
import datetime
import enum
import pathlib
import uuid

import pytest


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


def quelm_family_is_registered():
    from distributed.protocol.serialize import families

    return "quelm" in families


def readme_example(heading):
    """The code block of the README's section *heading*, run; its names."""
    readme = pathlib.Path(__file__).parents[1] / "README.md"
    if not readme.exists():
        pytest.skip("not run from a source tree")
    section = readme.read_text(encoding="utf-8").split(f"## {heading}\n")[1].split("\n## ")[0]
    namespace = {}
    exec(section.split("```py\n")[1].split("```")[0], namespace)
    return namespace
