"""Shared parts of the fuzz harnesses: the package under test (the copy
fuzz/build.sh made, or the one QUELM_FUZZ_PKG names), a walk that turns a
decoded value into Python coverage, and a comparison for round trips."""

import ctypes
import math
import os
import sys

import atheris

here = os.path.dirname(os.path.abspath(__file__))
package = os.environ.get("QUELM_FUZZ_PKG") or os.path.join(here, "..", "build", "fuzz-pkg")
sys.path.insert(0, package)


class Module:
    """The package under test, imported on the first input. The guided build
    calls __sanitizer_cov_trace_cmp*, which live in atheris's copy of
    libFuzzer; atheris loads that library privately once fuzzing starts, so
    it is promoted to global binding before the extension is loaded."""

    def __getattr__(self, name):
        with open("/proc/self/maps") as maps:
            cores = {line.split()[-1] for line in maps if "core_with_libfuzzer" in line}
        for core in cores:
            ctypes.CDLL(core, mode=os.RTLD_NOW | os.RTLD_GLOBAL | os.RTLD_NOLOAD)
        import quelm
        from quelm import _cquelm

        for key in ("ExtType", "Timestamp", "OutOfData", "FormatError", "StackError",
                    "ExtraData", "ValidationError", "Decoder", "packb"):
            setattr(self, key, getattr(quelm, key))
        for key in ("Packer", "Unpacker", "unpackb"):
            setattr(self, key, getattr(_cquelm, key))
        return getattr(self, name)


q = Module()


def shape(value, depth=0):
    """Walks a decoded value along type-dependent branches, so that Python
    coverage reflects what the native decoder produced."""
    if depth > 6:
        return
    if value is None:
        return
    if value is True or value is False:
        return
    if type(value) is int:
        if value < 0:
            return
        if value > 0xFFFFFFFF:
            return
        return
    if type(value) is float:
        if math.isnan(value):
            return
        if math.isinf(value):
            return
        return
    if type(value) is str:
        if value.isascii():
            return
        return
    if type(value) is bytes:
        return
    if type(value) is list:
        for item in value[:4]:
            shape(item, depth + 1)
        return
    if type(value) is tuple:
        for item in value[:4]:
            shape(item, depth + 1)
        return
    if type(value) is dict:
        for key, item in list(value.items())[:4]:
            shape(key, depth + 1)
            shape(item, depth + 1)
        return
    if type(value).__name__ == "ExtType":
        return
    if type(value).__name__ == "Timestamp":
        return
    return


def same(a, b):
    """Equality that treats NaN as equal to itself and keeps list and tuple
    apart; iterative, as decoded values nest up to 1024 deep."""
    work = [(a, b)]
    while work:
        a, b = work.pop()
        if type(a) is not type(b):
            return False
        if type(a) is float:
            if math.isnan(a) != math.isnan(b):
                return False
            if not math.isnan(a) and (a != b or math.copysign(1.0, a) != math.copysign(1.0, b)):
                return False
        elif type(a) in (list, tuple):
            if len(a) != len(b):
                return False
            work.extend(zip(a, b))
        elif type(a) is dict:
            if len(a) != len(b):
                return False
            for (ka, va), (kb, vb) in zip(a.items(), b.items()):
                work.append((ka, kb))
                work.append((va, vb))
        elif a != b:
            return False
    return True
