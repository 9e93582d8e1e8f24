"""The extension module as the interpreter loads it: one module object and one
interpreter per process, the published names, the internal constants."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import quelm
from quelm import _cquelm


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_reimport_gives_the_same_module_object():
    first = sys.modules.pop("quelm._cquelm")
    try:
        again = importlib.import_module("quelm._cquelm")
        assert again is first
        assert again.Packer is first.Packer
    finally:
        sys.modules["quelm._cquelm"] = first


@pytest.mark.parametrize(
    "name",
    [
        "Packer",
        "Unpacker",
        "unpackb",
        "default_read_extended_type",
        "BufferFull",
        "OutOfData",
        "ExtraData",
        "FormatError",
        "StackError",
    ],
)
def test_published_names(name):
    assert hasattr(_cquelm, name)


def test_exception_classes_are_those_of_the_sibling_module():
    from quelm import exceptions

    for name in ("BufferFull", "OutOfData", "ExtraData", "FormatError", "StackError"):
        assert getattr(_cquelm, name) is getattr(exceptions, name)


def test_datetime_is_the_standard_module():
    import datetime

    assert _cquelm.datetime is datetime


@pytest.mark.parametrize("name", ["ExtType", "Timestamp", "utc", "epoch", "ns_per_second"])
def test_internal_constants_are_not_module_attributes(name):
    assert not hasattr(_cquelm, name)


def test_types_report_their_module_path():
    assert _cquelm.Packer.__module__ == "quelm._cquelm"
    assert _cquelm.Unpacker.__module__ == "quelm._cquelm"
    assert _cquelm.Packer.__qualname__ == "Packer"


def test_types_can_be_subclassed():
    class MyPacker(_cquelm.Packer):
        pass

    class MyUnpacker(_cquelm.Unpacker):
        pass

    assert isinstance(MyPacker(), _cquelm.Packer)
    assert isinstance(MyUnpacker(), _cquelm.Unpacker)


def test_missing_exception_name_fails_the_import_and_a_retry_succeeds():
    # A fresh process whose quelm.exceptions lacks StackError when the core
    # initialises: the import fails with ImportError naming it, and once the
    # real module is back, importing again builds a new, working module.
    result = run_python(
        """
        import importlib.util, sys, types
        spec = importlib.util.find_spec("quelm")
        exc_path = spec.submodule_search_locations[0] + "/exceptions.py"
        fake = types.ModuleType("quelm.exceptions")
        exec(compile(open(exc_path).read(), exc_path, "exec"), fake.__dict__)
        del fake.StackError
        sys.modules["quelm.exceptions"] = fake
        try:
            import quelm
        except ImportError as e:
            print("first:", e)
        else:
            print("first: imported")
        for name in [n for n in sys.modules if n.startswith("quelm")]:
            del sys.modules[name]
        import quelm
        from quelm import _cquelm
        print("second:", _cquelm.StackError.__name__, _cquelm.Packer.__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "first: cannot import name StackError"
    assert lines[1] == "second: StackError Packer"


SUBINTERPRETER_CODE = """
try:
    import quelm._cquelm
except ImportError as e:
    msg = str(e)
else:
    msg = "imported"
expected = ("Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.")
assert msg == expected, msg
"""


def test_second_interpreter_is_refused():
    result = run_python(
        f"""
        import quelm
        try:
            import _interpreters as interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("skip")
                raise SystemExit
        # A legacy (shared-GIL) subinterpreter, so that the import reaches
        # the module's own check rather than the per-GIL compatibility check.
        for make in (lambda: interpreters.create("legacy"),
                     lambda: interpreters.create(isolated=False),
                     lambda: interpreters.create()):
            try:
                interp = make()
                break
            except (TypeError, ValueError):
                continue
        try:
            result = interpreters.run_string(interp, {SUBINTERPRETER_CODE!r})
        except Exception as e:  # older interfaces raise on failure
            print("failed:", e)
        else:
            print("failed:", getattr(result, "msg", result))
        import quelm._cquelm
        print("first still works:", quelm.Packer is quelm._cquelm.Packer)
        """
    )
    if result.stdout.strip() == "skip":
        pytest.skip("no subinterpreter support in this interpreter")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["failed: None", "first still works: True"]


def test_public_package_reexports_the_core():
    assert quelm.Packer is _cquelm.Packer
    assert quelm.unpackb is _cquelm.unpackb
