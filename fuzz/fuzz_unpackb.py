#!/usr/bin/env python3
"""Fuzzes unpackb under varied options: the first bytes choose the options,
the rest is the input. Any exception other than the decoder's documented
failures, and any sanitizer report, is a finding."""

import sys

import atheris

with atheris.instrument_imports():
    from _common import q, shape


class HookError(Exception):
    pass


def raising_hook(*args):
    raise HookError


def ext_to_tuple(code, data):
    if code == 7:
        raise HookError
    return (code, bytes(data))


OBJECT_HOOKS = [None, dict, lambda d: len(d), raising_hook]
PAIRS_HOOKS = [None, list, tuple, raising_hook]
LIST_HOOKS = [None, tuple, list, raising_hook]
EXT_HOOKS = ["ExtType", ext_to_tuple, None, raising_hook]
ERRORS = [None, "strict", "replace", "surrogateescape", "ignore", "backslashreplace", "nosuch"]
LIMITS = [-1, -1, -1, 0, 1, 2, 3, 7, 16, 2**31, 2**63 - 1]

# Failures the decoder documents: ValueError and its subclasses (format,
# stack, extra data, incomplete input, bad UTF-8, bad timestamps, limits),
# TypeError (unhashable or disallowed keys), OverflowError (timestamps out of
# range), LookupError (unknown error handler), AssertionError (absent
# ext_hook), and whatever a hook raises.
EXPECTED = (ValueError, TypeError, OverflowError, LookupError, AssertionError, HookError)


def options(fdp):
    opts = {}
    bits = fdp.ConsumeInt(2)
    if bits & 1:
        opts["use_list"] = False
    if bits & 2:
        opts["raw"] = True
    if bits & 4:
        opts["strict_map_key"] = False
    opts["timestamp"] = (bits >> 3) & 3
    hook_bits = fdp.ConsumeInt(1)
    hook = OBJECT_HOOKS[hook_bits & 3]
    if hook is not None:
        opts["object_hook"] = hook
    hook = PAIRS_HOOKS[(hook_bits >> 2) & 3]
    if hook is not None:
        opts["object_pairs_hook"] = hook
    hook = LIST_HOOKS[(hook_bits >> 4) & 3]
    if hook is not None:
        opts["list_hook"] = hook
    hook = EXT_HOOKS[(hook_bits >> 6) & 3]
    opts["ext_hook"] = q.ExtType if hook == "ExtType" else hook
    errors = ERRORS[(bits >> 5) % len(ERRORS)]
    if errors is not None:
        opts["unicode_errors"] = errors
    if (bits >> 8) & 1:
        for name in ("max_str_len", "max_bin_len", "max_array_len", "max_map_len", "max_ext_len"):
            opts[name] = LIMITS[fdp.ConsumeIntInRange(0, len(LIMITS) - 1)]
    return opts


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    opts = options(fdp)
    payload = fdp.ConsumeBytes(fdp.remaining_bytes())
    try:
        value = q.unpackb(payload, **opts)
    except EXPECTED as e:
        shape(type(e).__name__)
        return
    shape(value)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
