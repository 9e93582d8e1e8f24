import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci", max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("dev", max_examples=300, deadline=None)
settings.register_profile(
    "thorough", max_examples=5000, deadline=None, suppress_health_check=list(HealthCheck)
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))


def pytest_addoption(parser):
    parser.addoption(
        "--leak-loops",
        type=int,
        default=0,
        metavar="N",
        help="calls per case in the leak tests (tests/test_leaks_*.py); default 2000",
    )
