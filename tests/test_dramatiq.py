"""Quelm as dramatiq's message encoder, through a real worker on dramatiq's
in-memory broker."""

import datetime
import logging
import threading
import time

import pytest

dramatiq = pytest.importorskip("dramatiq", reason="dramatiq is not installed")
import dramatiq.worker  # noqa: E402
from dramatiq.brokers.stub import StubBroker  # noqa: E402
from dramatiq.errors import DecodeError  # noqa: E402

import quelm  # noqa: E402
from quelm.dramatiq import Encoder  # noqa: E402
from _engines import readme_example  # noqa: E402

UTC = datetime.timezone.utc
AT = datetime.datetime(2024, 5, 17, 14, 30, 0, 7, tzinfo=datetime.timezone(
    datetime.timedelta(hours=2)))

HOSTILE = [
    pytest.param(b"", "incomplete input", id="empty"),
    pytest.param(b"\xc1", "a byte that starts no Quelm value", id="reserved-byte"),
    pytest.param(b"\x82\xa1a\x01", "incomplete input", id="cut-map"),
    pytest.param(b"\x81\xa1a\x01\x00", "extra data", id="trailing-bytes"),
    pytest.param(b"\x91" * 100_000, "nested too deeply", id="deep-nesting"),
    pytest.param(b"\xdd\xff\xff\xff\xff", r"4294967295 exceeds max_array_len\(5\)",
                 id="huge-array-header"),
    pytest.param(b"\x01", "a message is a map, not int", id="not-a-map"),
]


@pytest.fixture
def worker(monkeypatch):
    previous = dramatiq.get_encoder()
    dramatiq.set_encoder(Encoder())
    # A consumer that met bad bytes restarts after this delay.
    monkeypatch.setattr(dramatiq.worker, "CONSUMER_RESTART_DELAY_SECS", 0.02)
    threads = set(threading.enumerate())
    broker = StubBroker()
    broker.seen = []

    @dramatiq.actor(broker=broker, max_retries=0)
    def record(*args, **kwargs):
        broker.seen.append((args, kwargs))

    worker = dramatiq.Worker(broker, worker_timeout=20, worker_threads=1)
    worker.start()
    try:
        yield broker, record
    finally:
        worker.stop()
        broker.close()
        dramatiq.set_encoder(previous)
    assert set(threading.enumerate()) <= threads


def wait_for(broker, count):
    deadline = time.monotonic() + 10
    while len(broker.seen) < count and time.monotonic() < deadline:
        time.sleep(0.01)
    return broker.seen


def test_actor_receives_nested_values(worker):
    broker, record = worker
    value = {"blob": b"\x00\xff" * 3, "when": AT, "ints": [2**64 - 1, -(2**63)],
             "nested": {7: [b"", {"deep": [1.5, None, True, "ü"]}]}}
    message = record.send(value, [b"x"], at=AT)
    broker.join(record.queue_name, timeout=10_000)
    assert wait_for(broker, 1) == [((value, [b"x"]), {"at": AT})]
    assert broker.seen[0][1]["at"].tzinfo is UTC
    # What went over the broker is one Quelm map.
    assert quelm.unpackb(message.encode(), timestamp=3, strict_map_key=False)["args"] == [
        value, [b"x"]]


@pytest.mark.parametrize(("data", "reason"), HOSTILE)
def test_hostile_bytes_raise_dramatiqs_decode_error(data, reason):
    with pytest.raises(DecodeError, match=reason) as caught:
        Encoder().decode(data)
    assert caught.value.data is data and isinstance(caught.value.error, (ValueError, TypeError))


def test_the_worker_refuses_hostile_bytes_and_goes_on(worker, caplog):
    broker, record = worker
    broker.queues[record.queue_name].put(b"\xc1\x00")
    record.send("after")
    assert wait_for(broker, 1) == [(("after",), {})]
    errors = [r.exc_info[1] for r in caplog.records if r.levelno >= logging.ERROR and r.exc_info]
    assert [type(e) for e in errors] == [DecodeError]
    assert isinstance(errors[0].__cause__, DecodeError) and errors[0].__cause__.data == b"\xc1\x00"


def test_naive_datetimes_are_refused_when_sent(worker):
    _, record = worker
    with pytest.raises(ValueError, match="tzinfo=None"):
        record.send(datetime.datetime(2024, 5, 17))


def test_readme_example_runs():
    previous = dramatiq.get_encoder()
    try:
        readme_example("Using quelm with dramatiq")
        assert isinstance(dramatiq.get_encoder(), Encoder)
    finally:
        dramatiq.set_encoder(previous)
