#!/usr/bin/env python3
"""Fuzzes the Packer against Python code that runs in the middle of a pack.
The input builds nested lists, tuples, dicts and their subclasses holding
meddlers: values only the default hook takes, and when it does it carries
out the meddler's order: change the size or the items of one of the
containers, call the same Packer again (pack, a header, pairs, reset) or
re-initialise it. A pack must then either fail with one of the documented
errors and leave the buffer as it was before the call, or give bytes that
decode to exactly one value with nothing missing and nothing left over."""

import sys

import atheris

with atheris.instrument_imports():
    from _common import q

EARLIER = b"\xa7earlier"


class Meddler:
    def __init__(self, target, order, argument):
        self.target = target
        self.order = order
        self.argument = argument


class IterList(list):
    """A list subclass: walked by iteration, not by index."""


class ItemsDict(dict):
    """A dict subclass: walked through items()."""


class World:
    """What one input built: its containers and the Packer under test."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.containers = []
        self.packer = None
        self.nested = 0
        # Orders carried out per input: a hook that grows a container and
        # packs it again on every call would otherwise make one input cost
        # seconds, all of it the harness's own quadratic work.
        self.orders_left = 200

    def build(self, depth):
        fdp = self.fdp
        kind = fdp.ConsumeIntInRange(0, 7 if depth < 5 else 2)
        if kind == 0:
            return fdp.ConsumeIntInRange(-100, 100)
        if kind == 1:
            return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))
        if kind == 2:
            return Meddler(fdp.ConsumeIntInRange(0, 30), fdp.ConsumeIntInRange(0, 12),
                           fdp.ConsumeIntInRange(0, 40))
        n = fdp.ConsumeIntInRange(0, 6)
        if kind in (3, 4):
            c = (list if kind == 3 else IterList)(self.build(depth + 1) for _ in range(n))
        elif kind == 5:
            c = tuple(self.build(depth + 1) for _ in range(n))
        else:
            c = (dict if kind == 6 else ItemsDict)()
            for i in range(n):
                c[f"k{i}"] = self.build(depth + 1)
        self.containers.append(c)
        return c

    def default(self, obj):
        if not isinstance(obj, Meddler):
            raise TypeError("unexpected %r" % (obj,))
        if not self.containers or self.orders_left == 0:
            return None
        self.orders_left -= 1
        c = self.containers[obj.target % len(self.containers)]
        a = obj.argument
        p = self.packer
        order = obj.order
        try:
            if order == 0:
                c.clear()
            elif order == 1:
                c.append(a) if isinstance(c, list) else c.__setitem__(f"n{a}", a)
            elif order == 2:
                c.pop() if isinstance(c, list) else c.popitem()
            elif order == 3:
                c.extend(range(a)) if isinstance(c, list) else c.update({i: i for i in range(a)})
            elif order == 4:
                if isinstance(c, list) and c:
                    c[a % len(c)] = "swapped"
                elif isinstance(c, dict) and c:
                    del c[next(iter(c))]
                    c[f"s{a}"] = a
            elif order == 5 and self.nested < 3:
                self.nested += 1
                try:
                    p.pack([a, c] if a % 2 else a)
                finally:
                    self.nested -= 1
            elif order == 6:
                p.pack_array_header(a)
            elif order == 7:
                p.pack_map_pairs([(a, a)] * (a % 3))
            elif order == 8:
                p.reset()
            elif order == 9:
                p.pack_ext_type(a % 128, b"x" * a)
            elif order == 10:
                p.__init__(autoreset=bool(a % 2), default=self.default)
            elif order == 11:
                raise LookupError("hook failed")
        except (RuntimeError, ValueError, TypeError, IndexError, KeyError, AttributeError):
            pass
        return a


def decodes_whole(data):
    try:
        q.unpackb(data, strict_map_key=False)
    except q.ExtraData:
        raise AssertionError("a header announced fewer items than were written: %r" % data)
    except ValueError as error:
        raise AssertionError("%s: %r" % (error, data))


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    autoreset = fdp.ConsumeBool()
    world = World(fdp)
    root = world.build(0)
    p = q.Packer(autoreset=autoreset, default=world.default, buf_size=fdp.ConsumeIntInRange(0, 64))
    world.packer = p
    if not autoreset:
        p.pack("earlier")
    try:
        out = p.pack(root)
    except LookupError:
        out = None
        failed = True
    except (RuntimeError, ValueError) as error:
        message = str(error)
        if not ("changed" in message or "yielded" in message or "recursion" in message):
            raise
        failed = True
    else:
        failed = False
    held = p.bytes()
    before = b"" if autoreset else EARLIER
    if failed:
        # Whatever a hook did meanwhile (re-initialising included), the
        # buffer is back where the call found it.
        if held != before:
            raise AssertionError("a failed pack changed the buffer: %r" % held)
        return
    whole = held if out is None else out  # None: a hook turned autoreset off
    if not whole.startswith(before):
        raise AssertionError("earlier output lost: %r" % whole)
    decodes_whole(whole[len(before):])


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
