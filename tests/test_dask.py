"""Quelm as distributed's serialization family, across real worker processes
of a local cluster on loopback."""

import datetime
import threading
import time
import uuid

import pytest

distributed = pytest.importorskip("distributed", reason="dask distributed is not installed")
import psutil  # noqa: E402  (a dependency of distributed)
from distributed import Client, LocalCluster  # noqa: E402
from distributed.protocol import serialize  # noqa: E402

import quelm.dask  # noqa: E402, F401  (registers the family in this process)
from _engines import Colour, Job, echo, quelm_family_is_registered, readme_example  # noqa: E402

UTC = datetime.timezone.utc
PLUS_TWO = datetime.timezone(datetime.timedelta(hours=2))
AT = datetime.datetime(2024, 5, 17, 14, 30, 0, 7, tzinfo=PLUS_TWO)
JOB = Job(uuid.UUID(int=1), Colour.RED, frozenset({"x", "y"}), AT, b"\x00\xff")

CARRIED = [
    pytest.param({"blob": b"\x00\xff" * 3, "nested": {7: [b"", {"deep": [1.5, None, True, "ü"]}]}},
                 id="bytes-nested"),
    pytest.param([2**64 - 1, -(2**63), 2**63 - 1, 2**63], id="64-bit-extremes"),
    pytest.param(AT, id="aware-datetime"),
    pytest.param(JOB, id="dataclass"),
    pytest.param((1, "two", b"3"), id="tuple"),
    pytest.param({1, 2, 3}, id="set"),
]

# Values quelm would not give back equal and of the same class.
PASSED_ON = [
    pytest.param(1j, id="complex"),
    pytest.param(2**64, id="int-beyond-64-bits"),
    pytest.param(datetime.datetime(2024, 5, 17), id="naive-datetime"),
    pytest.param([(1, 2)], id="tuple-in-list"),
    pytest.param([JOB], id="dataclass-in-list"),
    pytest.param({"nan": float("nan")}, id="nan"),
]


@pytest.fixture(scope="module")
def cluster():
    threads = set(threading.enumerate())
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, preload=["quelm.dask"]) as cluster:
        yield cluster
    # Only multiprocessing's resource tracker, which lives as long as this
    # process, may remain.
    left = [p.cmdline() for p in psutil.Process().children(recursive=True)]
    assert [c for c in left if "resource_tracker" not in " ".join(c)] == []
    # Nor distributed's own offload thread, a process-wide pool it starts once.
    # A closed scheduler's profiling thread notices within its cycle.
    deadline = time.monotonic() + 5
    while True:
        new = {t.name for t in set(threading.enumerate()) - threads} - {"Dask-Offload_0"}
        if not new or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert not new


@pytest.fixture(scope="module")
def quelm_only(cluster):
    # Writes and reads quelm and nothing else.
    with Client(cluster, serializers=["quelm"], deserializers=["quelm"]) as client:
        yield client


@pytest.fixture(scope="module")
def with_pickle(cluster):
    with Client(cluster, serializers=["quelm", "pickle"],
                deserializers=["quelm", "pickle"]) as client:
        yield client


def across(client, value):
    """*value* scattered to one worker, echoed by the other, gathered."""
    first, second = sorted(client.scheduler_info()["workers"])
    [stored] = client.scatter([value], workers=[first])
    result = client.submit(echo, stored, workers=[second], allow_other_workers=False, pure=False)
    got = result.result(timeout=10)
    assert client.who_has(result)[result.key] == (second,)
    return got, result


@pytest.mark.parametrize("value", CARRIED)
def test_values_cross_processes_through_quelm_alone(quelm_only, value):
    got, _ = across(quelm_only, value)
    assert type(got) is type(value) and got == value
    if value is AT:
        assert got.tzinfo is UTC


@pytest.mark.parametrize("value", PASSED_ON)
def test_the_family_passes_on_what_it_would_change(value):
    with pytest.raises(NotImplementedError, match="quelm"):
        quelm.dask.dumps(value)
    header, _ = serialize(value, serializers=["quelm", "pickle"], iterate_collection=False)
    assert header["serializer"] == "pickle"


VALUE_FOR_PICKLE = {"z": 1j, "pairs": [(1, 2)], "plain": [b"x", 2**64 - 1]}


def test_a_value_quelm_cannot_carry_falls_back_to_pickle(with_pickle):
    got, _ = across(with_pickle, VALUE_FOR_PICKLE)
    assert got == VALUE_FOR_PICKLE


def test_a_client_reading_quelm_alone_gets_distributeds_own_error(cluster):
    with Client(cluster, serializers=["quelm", "pickle"], deserializers=["quelm"]) as client:
        assert across(client, [b"x", 2**64 - 1])[0] == [b"x", 2**64 - 1]
        with pytest.raises(TypeError, match=r"^Data serialized with error but only able to "
                                            r"deserialize data with \['quelm'\]$"):
            across(client, VALUE_FOR_PICKLE)


# The example's cluster serves a dashboard, on another port when another
# program holds the usual one.
@pytest.mark.filterwarnings("ignore:Port 8787 is already in use")
def test_readme_example_runs():
    names = readme_example("Using quelm with Dask")
    with names["cluster"], names["client"]:
        assert set(names["client"].run(quelm_family_is_registered).values()) == {True}
