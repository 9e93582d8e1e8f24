"""Data for timing unpackb against pickle.loads and orjson.loads on a list of
10,000 small dicts. Run from the worktree root:

    PYTHONPATH=src:benchmarks python3 -m timeit -s "from bench_unpackb import unpackb, pickle, orjson, q, p, j" "unpackb(q)"
    PYTHONPATH=src:benchmarks python3 -m timeit -s "from bench_unpackb import unpackb, pickle, orjson, q, p, j" "pickle.loads(p)"
    PYTHONPATH=src:benchmarks python3 -m timeit -s "from bench_unpackb import unpackb, pickle, orjson, q, p, j" "orjson.loads(j)"
"""

import pickle

import orjson

from quelm._cquelm import Packer, unpackb

__all__ = ["unpackb", "pickle", "orjson", "value", "q", "p", "j"]

value = [
    {"id": i, "name": "user%d" % i, "score": i * 0.5, "active": i % 2 == 0, "tags": ["a", "b"]}
    for i in range(10000)
]
q = Packer().pack(value)
p = pickle.dumps(value, protocol=5)
j = orjson.dumps(value)
assert unpackb(q) == value == pickle.loads(p) == orjson.loads(j)
