"""Quelm as Celery's task and result serializer, through a real worker thread
on the in-memory broker."""

import datetime
import importlib.metadata
import pathlib
import threading
import uuid

import pytest

import quelm
from quelm.kombu import CONTENT_TYPE, register_args

celery = pytest.importorskip("celery")
from celery.contrib.testing.worker import start_worker  # noqa: E402
from kombu import serialization  # noqa: E402
from kombu.exceptions import EncodeError  # noqa: E402

from _engines import Colour, Job  # noqa: E402

UTC = datetime.timezone.utc
AT = datetime.datetime(2030, 1, 2, 3, 4, 5, 6, tzinfo=UTC)


def quelm_is_installed():
    try:
        return bool(importlib.metadata.distribution("quelm"))
    except importlib.metadata.PackageNotFoundError:
        return False


@pytest.fixture(scope="module")
def app():
    if "quelm" not in serialization.registry.name_to_type:
        # Only a source tree lacks the entry point kombu registers it by.
        assert not quelm_is_installed(), "installed without its kombu.serializers entry point"
        serialization.register("quelm", *register_args)
    assert serialization.registry._decoders[CONTENT_TYPE] is register_args[1]
    app = celery.Celery("quelm_test", broker="memory://", backend="cache+memory://",
                        set_as_current=False)
    app.conf.update(task_serializer="quelm", result_serializer="quelm", accept_content=["quelm"],
                    worker_hijack_root_logger=False,
                    # The memory transport's default poll of a second would
                    # dominate the test's time.
                    broker_transport_options={"polling_interval": 0.02})
    app.seen, app.received = [], []

    @app.task(name="echo")
    def echo(value):
        app.seen.append(value)
        return {"got": value, "at": AT}

    @app.task(name="naive")
    def naive():
        return datetime.datetime(2030, 1, 2)

    def on_received(request=None, **_):
        app.received.append((request.content_type, request.content_encoding))

    celery.signals.task_received.connect(on_received, weak=False)
    threads = set(threading.enumerate())
    with start_worker(app, perform_ping_check=False, shutdown_timeout=10):
        yield app
    celery.signals.task_received.disconnect(on_received)
    assert set(threading.enumerate()) <= threads


def run(app, name, *args, **options):
    return app.tasks[name].apply_async(args, **options).get(timeout=10, interval=0.02)


def test_task_and_result_round_trip(app):
    plus_two = datetime.datetime(2024, 5, 17, 14, 30, tzinfo=datetime.timezone(
        datetime.timedelta(hours=2)))
    value = {"blob": b"\x00\xff" * 3, "when": plus_two, "ints": [2**64 - 1, -(2**63)],
             "nested": {7: [b"", {"deep": [1.5, None, True, "ü"]}]}}
    result = app.tasks["echo"].delay(value)
    got = result.get(timeout=10, interval=0.02)
    assert got == {"got": value, "at": AT} and app.seen[-1] == value
    # The same instant, in UTC.
    assert got["got"]["when"].tzinfo is UTC and got["got"]["when"].hour == 12
    assert app.received[-1] == (CONTENT_TYPE, "binary")
    stored = app.backend.get(app.backend.get_key_for_task(result.id))
    assert quelm.unpackb(stored, timestamp=3, strict_map_key=False)["result"] == got


def test_native_types_travel_in_their_plain_forms(app):
    job = Job(uuid.UUID(int=1), Colour.RED, frozenset({"x"}), AT, b"\x00")
    got = run(app, "echo", job)["got"]
    assert got == {"id": "00000000-0000-0000-0000-000000000001", "colour": "red", "tags": ["x"],
                   "at": AT, "blob": b"\x00"}


def test_naive_datetimes_are_refused_on_both_sides(app):
    with pytest.raises(EncodeError, match="tzinfo=None"):
        app.tasks["echo"].delay(datetime.datetime(2030, 1, 2))
    with pytest.raises(EncodeError, match="tzinfo=None"):
        run(app, "naive")
    # Celery's own naive times (eta, expires) travel in headers, not through us.
    assert run(app, "echo", 1, eta=datetime.datetime.now())["got"] == 1


def test_content_outside_accept_content_is_refused(app):
    calls = len(app.seen)
    refused = app.tasks["echo"].apply_async(("as json",), serializer="json")
    # The worker takes messages in order: once this one is back, the json one
    # has been seen and dropped without running.
    assert run(app, "echo", "after")["got"] == "after"
    assert app.seen[calls:] == ["after"] and refused.state == "PENDING"


def test_readme_configuration_runs(app):
    readme = pathlib.Path(__file__).parents[1] / "README.md"
    if not readme.exists():
        pytest.skip("not run from a source tree")
    section = readme.read_text(encoding="utf-8").split("## Using quelm with Celery")[1]
    namespace = {}
    exec(section.split("```py\n")[1].split("```")[0], namespace)
    assert namespace["app"].conf.task_serializer in serialization.registry._encoders
