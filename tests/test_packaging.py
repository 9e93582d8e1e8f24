"""What pyproject.toml promises about distribution, and, when the suite runs
against an installed wheel, that the wheel is what is being tested."""

import fnmatch
import importlib.metadata
import os
import pathlib
import sys

import pytest

import quelm

PYPROJECT = pathlib.Path(__file__).parents[1] / "pyproject.toml"


@pytest.mark.skipif(not os.environ.get("QUELM_TEST_INSTALLED"), reason="testing the source tree")
def test_the_installed_wheel_is_under_test():
    here = pathlib.Path(quelm.__file__).resolve().parent
    assert here.parent.name in ("site-packages", "dist-packages"), here
    files = {str(f) for f in importlib.metadata.distribution("quelm").files}
    assert {"quelm/_cquelm.pyi", "quelm/py.typed"} <= files


def test_pyproject_distribution_settings():
    tomllib = pytest.importorskip("tomllib" if sys.version_info >= (3, 11) else "tomli")
    if not PYPROJECT.exists():
        pytest.skip("not run from a source tree")
    config = tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))
    project, wheels = config["project"], config["tool"]["cibuildwheel"]
    # Celery support is an optional extra found through kombu's entry points;
    # the other engines are optional extras too.
    assert project["entry-points"]["kombu.serializers"] == {"quelm": "quelm.kombu:register_args"}
    assert {"celery", "dask", "dramatiq", "rq"} <= set(project["optional-dependencies"])
    assert not project.get("dependencies")
    # CPython wheels, 64-bit (requires-python leaves out versions before 3.9).
    assert project["requires-python"] == ">=3.9"
    built = [i for i in ("cp39-manylinux_x86_64", "cp313-musllinux_aarch64", "cp312-win32",
                         "pp310-manylinux_x86_64", "cp311-manylinux_i686", "cp312-macosx_arm64")
             if fnmatch.fnmatch(i, wheels["build"])
             and not any(fnmatch.fnmatch(i, s) for s in wheels["skip"].split())]
    assert built == ["cp39-manylinux_x86_64", "cp313-musllinux_aarch64", "cp312-macosx_arm64"]
    assert set(wheels["linux"]["archs"]) == {"x86_64", "aarch64"}
    assert wheels["windows"]["archs"] == ["AMD64"] and "macos" in wheels
    assert "pytest" in wheels["test-command"] and "{project}/tests" in wheels["test-command"]
    assert wheels["test-extras"] == ["test"]
