"""Quelm as Celery's task and result serializer, through a real worker thread
on the in-memory broker."""

import datetime
import importlib.metadata
import pathlib
import threading

import pytest

import quelm
from quelm.kombu import CONTENT_TYPE, register_args

celery = pytest.importorskip("celery")
kombu_serialization = pytest.importorskip("kombu.serialization")
from celery.contrib.testing.worker import start_worker  # noqa: E402
from kombu.exceptions import EncodeError  # noqa: E402

UTC = datetime.timezone.utc
PLUS_TWO = datetime.timezone(datetime.timedelta(hours=2))


def installed_entry_point():
    """The quelm entry in kombu.serializers, or None when quelm runs from a
    source tree rather than an installed distribution."""
    try:
        importlib.metadata.distribution("quelm")
    except importlib.metadata.PackageNotFoundError:
        return None
    points = importlib.metadata.entry_points()
    group = (points.select(group="kombu.serializers") if hasattr(points, "select")
             else points.get("kombu.serializers", ()))  # Python 3.9
    found = [ep for ep in group if ep.name == "quelm"]
    assert found, "quelm is installed without its kombu.serializers entry point"
    return found[0]


@pytest.fixture(scope="module")
def app():
    entry = installed_entry_point()
    if entry is None:
        # A source tree has no entry points: register what the entry names.
        kombu_serialization.register("quelm", *register_args)
    else:
        assert entry.load() is register_args
        # kombu registered it by itself on import.
        assert kombu_serialization.registry.name_to_type["quelm"] == CONTENT_TYPE

    app = celery.Celery("quelm_test", broker="memory://", backend="cache+memory://",
                        set_as_current=False)
    app.conf.update(task_serializer="quelm", result_serializer="quelm",
                    accept_content=["quelm"], worker_hijack_root_logger=False,
                    # The memory transport polls; its default second per poll
                    # would dominate the test's time.
                    broker_transport_options={"polling_interval": 0.02})
    seen = app.seen = []

    @app.task(name="quelm_test.echo")
    def echo(value):
        seen.append(value)
        return {"got": value, "at": datetime.datetime(2030, 1, 2, 3, 4, 5, 6, tzinfo=UTC)}

    @app.task(name="quelm_test.naive")
    def naive():
        return datetime.datetime(2030, 1, 2)

    received = app.received = []

    def on_received(sender=None, request=None, **_):
        received.append((request.content_type, request.content_encoding))

    celery.signals.task_received.connect(on_received, weak=False)
    threads = set(threading.enumerate())
    with start_worker(app, perform_ping_check=False, shutdown_timeout=10):
        yield app
    celery.signals.task_received.disconnect(on_received)
    assert set(threading.enumerate()) <= threads


VALUE = {
    "blob": b"\x00\xff" * 3,
    "when": datetime.datetime(1999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
    "ints": [2**64 - 1, -(2**63), 0],
    "nested": {7: [b"", {"deep": [1.5, None, True, "ü"]}]},
}


def test_task_and_result_round_trip(app):
    result = app.tasks["quelm_test.echo"].delay(VALUE)
    got = result.get(timeout=10, interval=0.02)
    assert got == {"got": VALUE, "at": datetime.datetime(2030, 1, 2, 3, 4, 5, 6, tzinfo=UTC)}
    assert app.seen[-1] == VALUE
    assert app.received[-1] == (CONTENT_TYPE, "binary")
    # The result was stored as Quelm bytes by the result backend.
    stored = app.backend.get(app.backend.get_key_for_task(result.id))
    assert quelm.unpackb(stored, timestamp=3, strict_map_key=False)["result"] == got


def test_other_zones_arrive_as_the_same_instant_in_utc(app):
    moment = datetime.datetime(2024, 5, 17, 14, 30, tzinfo=PLUS_TWO)
    got = app.tasks["quelm_test.echo"].delay(moment).get(timeout=10, interval=0.02)["got"]
    assert got == moment and got.tzinfo is UTC and got.hour == 12


def test_naive_datetimes_are_refused_on_both_sides(app):
    with pytest.raises(EncodeError, match="tzinfo=None"):
        app.tasks["quelm_test.echo"].delay(datetime.datetime(2030, 1, 2))
    # The worker cannot store such a result, so the task fails with the cause.
    with pytest.raises(EncodeError, match="tzinfo=None"):
        app.tasks["quelm_test.naive"].delay().get(timeout=10, interval=0.02)


def test_content_outside_accept_content_is_refused(app):
    calls = len(app.seen)
    refused = app.tasks["quelm_test.echo"].apply_async(("as json",), serializer="json")
    # The worker takes messages in order: once this one is back, the json one
    # has been seen and dropped without running.
    assert app.tasks["quelm_test.echo"].delay("after").get(timeout=10, interval=0.02)["got"] == "after"
    assert app.seen[calls:] == ["after"]
    assert refused.state == "PENDING"


def test_readme_configuration_selects_quelm(app):
    readme = pathlib.Path(__file__).parents[1] / "README.md"
    if not readme.exists():
        pytest.skip("not run from a source tree")
    text = readme.read_text(encoding="utf-8")
    section = text[text.index("## Using quelm with Celery"):]
    code = section[section.index("```py\n") + 6:section.index("```\n", section.index("```py\n") + 6)]
    namespace = {}
    exec(code, namespace)
    conf = namespace["app"].conf
    assert (conf.task_serializer, conf.result_serializer, conf.accept_content) == (
        "quelm", "quelm", ["quelm"])
    assert conf.task_serializer in kombu_serialization.registry._encoders
