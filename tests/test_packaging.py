"""What pyproject.toml promises about distribution, and, when the suite runs
against an installed wheel, that the wheel is what is being tested."""

import fnmatch
import os
import pathlib
import sys

import pytest

import quelm

PYPROJECT = pathlib.Path(__file__).parents[1] / "pyproject.toml"


@pytest.fixture(scope="module")
def pyproject():
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        tomllib = pytest.importorskip("tomli")
    if not PYPROJECT.exists():
        pytest.skip("not run from a source tree")
    return tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))


@pytest.mark.skipif(not os.environ.get("QUELM_TEST_INSTALLED"), reason="testing the source tree")
def test_the_installed_wheel_is_under_test():
    import importlib.metadata

    here = pathlib.Path(quelm.__file__).resolve().parent
    assert here.parent.name in ("site-packages", "dist-packages"), here
    assert here != PYPROJECT.parent.resolve() / "src" / "quelm"
    files = {str(f) for f in importlib.metadata.distribution("quelm").files}
    assert {"quelm/_cquelm.pyi", "quelm/py.typed"} <= files


def test_celery_serializer_is_an_optional_entry_point(pyproject):
    project = pyproject["project"]
    assert project["entry-points"]["kombu.serializers"] == {"quelm": "quelm.kombu:register_args"}
    assert any(req.startswith("celery") for req in project["optional-dependencies"]["celery"])
    assert not [d for d in project.get("dependencies", []) if "celery" in d or "kombu" in d]
    assert "matplotlib" not in str(project.get("dependencies", []))


@pytest.mark.parametrize("identifier, built", [
    ("cp39-manylinux_x86_64", True),
    ("cp313-musllinux_aarch64", True),
    ("cp312-macosx_arm64", True),
    ("cp311-win_amd64", True),
    ("pp310-manylinux_x86_64", False),
    ("cp312-win32", False),
    ("cp311-manylinux_i686", False),
])
def test_cibuildwheel_selects_cpython_wheels(pyproject, identifier, built):
    config = pyproject["tool"]["cibuildwheel"]

    def matches(patterns):
        patterns = patterns.split() if isinstance(patterns, str) else patterns
        return any(fnmatch.fnmatch(identifier, p) for p in patterns)

    assert (matches(config["build"]) and not matches(config.get("skip", ""))) == built
    # Versions before 3.9 are left out by requires-python, which cibuildwheel reads.
    assert pyproject["project"]["requires-python"] == ">=3.9"


def test_cibuildwheel_builds_every_platform_and_tests_each_wheel(pyproject):
    config = pyproject["tool"]["cibuildwheel"]
    assert set(config["linux"]["archs"]) == {"x86_64", "aarch64"}
    assert {"x86_64", "arm64"} <= set(config["macos"]["archs"])
    assert config["windows"]["archs"] == ["AMD64"]
    assert "pytest" in config["test-command"] and "{project}/tests" in config["test-command"]
    assert "test" in config["test-extras"]
