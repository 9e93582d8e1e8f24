"""Builds the benchmark-only floor module in place:

    python benchmarks/floor/setup.py build_ext --inplace

bench_core.py picks it up when it is there. It is not part of the package.
"""

import os

from setuptools import Extension, setup

here = os.path.dirname(os.path.abspath(__file__))
os.chdir(here)
setup(
    name="quelm-bench-floor",
    ext_modules=[Extension("_floor", ["_floor.c"], extra_compile_args=["-O2"])],
    script_args=None,
)
