"""Quelm as RQ's serializer, with a real redis-server and a real worker in
burst mode started by ``rq worker --serializer quelm.rq``."""

import collections
import datetime
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import time

import pytest

rq = pytest.importorskip("rq", reason="rq is not installed")
redis = pytest.importorskip("redis", reason="redis (the client) is not installed")

import quelm.rq  # noqa: E402
from _engines import call, fail, readme_example  # noqa: E402

REDIS_SERVER = shutil.which("redis-server")
UTC = datetime.timezone.utc
AT = datetime.datetime(2024, 5, 17, 14, 30, 0, 7, tzinfo=datetime.timezone(
    datetime.timedelta(hours=2)))
Pair = collections.namedtuple("Pair", "a b")


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    if REDIS_SERVER is None:
        pytest.skip("redis-server is not installed")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    process = subprocess.Popen(
        [REDIS_SERVER, "--bind", "127.0.0.1", "--port", str(port), "--save", "",
         "--appendonly", "no", "--dir", str(tmp_path_factory.mktemp("redis"))],
        stdout=subprocess.DEVNULL)
    connection = redis.Redis(host="127.0.0.1", port=port)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                connection.ping()
                break
            except redis.ConnectionError:
                assert process.poll() is None and time.monotonic() < deadline, "no redis-server"
                time.sleep(0.02)
        yield connection
    finally:
        connection.close()
        process.terminate()
        process.wait(10)


@pytest.fixture
def queue(server, request):
    server.flushall()
    return rq.Queue(request.node.name[:40], connection=server, serializer=quelm.rq)


def work(queue):
    """Runs a quelm worker over *queue* until it is empty."""
    port = queue.connection.connection_pool.connection_kwargs["port"]
    paths = [str(pathlib.Path(__file__).parent), os.environ.get("PYTHONPATH", "")]
    done = subprocess.run(
        [sys.executable, "-m", "rq.cli", "worker", "--burst", "--serializer", "quelm.rq",
         "--url", f"redis://127.0.0.1:{port}", queue.name],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, paths))),
        capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stderr


def test_args_kwargs_and_result_round_trip(queue):
    args = (1, (2, b"\x00\xff"), [3, Pair(4, 5)], 2**64 - 1)
    kwargs = {"when": AT, "nested": {7: [b"", {"deep": (1.5, None, "ü")}]}}
    job = queue.enqueue(call, *args, **kwargs)
    work(queue)
    assert job.get_status(refresh=True) == rq.job.JobStatus.FINISHED
    expected = {"args": (1, (2, b"\x00\xff"), [3, (4, 5)], 2**64 - 1), "kwargs": kwargs,
                "types": ["int", "tuple", "list", "int"]}
    assert job.return_value() == expected
    stored = rq.job.Job.fetch(job.id, connection=queue.connection, serializer=quelm.rq)
    assert stored.args == expected["args"] and stored.kwargs == kwargs
    assert stored.kwargs["when"].tzinfo is UTC


def test_a_failing_job_records_its_failure(queue):
    job = queue.enqueue(fail, "on purpose")
    work(queue)
    assert job.get_status(refresh=True) == rq.job.JobStatus.FAILED
    assert job.id in queue.failed_job_registry.get_job_ids()
    assert "RuntimeError: failed on purpose: on purpose" in job.latest_result().exc_string


def test_a_pickled_job_is_refused_by_a_quelm_worker(queue):
    job = rq.Queue(queue.name, connection=queue.connection).enqueue(call, 1)
    log = work(queue)
    assert job.get_status(refresh=True) == rq.job.JobStatus.FAILED
    failure = job.latest_result().exc_string
    assert "DeserializationError" in failure and "not a job written by quelm.rq" in failure
    assert "not a job written by quelm.rq" in log


@pytest.mark.parametrize(("value", "expected"), [
    pytest.param([Pair(1, [2]), ()], [(1, [2]), ()], id="namedtuple-as-tuple"),
    pytest.param(collections.OrderedDict(a=1), {"a": 1}, id="dict-subclass"),
    pytest.param({(1, "k"): {2}}, {(1, "k"): [2]}, id="tuple-key-set-value"),
    pytest.param(quelm.ExtType(5, b"x"), quelm.ExtType(5, b"x"), id="other-ext-code"),
])
def test_serializer_table(value, expected):
    got = quelm.rq.loads(quelm.rq.dumps(value))
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(("value", "error", "message"), [
    pytest.param(datetime.datetime(2024, 5, 17), ValueError, "tzinfo=None", id="naive-datetime"),
    pytest.param(1j, TypeError, "can not serialize 'complex' object", id="complex"),
])
def test_what_cannot_be_written_is_refused_at_enqueue(value, error, message):
    with pytest.raises(error, match=message):
        quelm.rq.dumps(value)


def test_readme_example_runs():
    queue = readme_example("Using quelm with RQ")["queue"]
    assert queue.serializer is quelm.rq
    queue.connection.close()


@pytest.mark.parametrize(("data", "reason"), [
    pytest.param(b"\x80\x05K\x01.", "extra data", id="pickle"),
    pytest.param(b"\x91\xd4\x54\x05", "extension 84 holds int, not a tuple's items",
                 id="tuple-of-no-array"),
    pytest.param(b"\xd5\x54\x91\xc1", "a byte that starts no Quelm value", id="bad-tuple-item"),
])
def test_what_dumps_did_not_write_is_refused(data, reason):
    with pytest.raises(ValueError, match=reason) as caught:
        quelm.rq.loads(data)
    assert str(caught.value).count("not a job written by quelm.rq") == 1
