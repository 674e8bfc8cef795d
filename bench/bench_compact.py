"""Compaction at 100 000 records, for one or more builds of the project in
one run (e.g. before and after a change).

    /usr/bin/python3 bench/bench_compact.py BUILD_DIR [BUILD_DIR ...]

Each BUILD_DIR is a build of the project (its python/ holds the module);
each runs in its own processes, and the table shows them side by side. One
collection of 100 000 records (384 dimensions, small metadata, one batch);
median milliseconds of compact():
  * with nothing to remove, first call after opening the collection (no
    record mirror built yet), over 7 openings;
  * with nothing to remove, after a search (mirror built), over 7 calls;
  * after a process that queued 99 adds ended without a flush (the next
    compaction finds their slots held by nothing), over 7 such lives, each
    from a copy of the collection, with the bytes that compaction reports
    freed.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

from bench_store import compare_builds

DIM = 384
N = 100_000
REPEATS = 7

LOSE_QUEUED_ADDS = """
import os, sys
import numpy as np
import tessarin
c = tessarin.Tessarin(sys.argv[1]).get_collection("c")
for i in range(99):
    c.add(np.full(c.dimensions, i, dtype=np.float32), {"i": i})
os._exit(0)
"""


def timed_compact(c):
    t0 = time.perf_counter()
    stats = c.compact()
    return (time.perf_counter() - t0) * 1e3, stats.bytes_freed


def worker(work):
    import tessarin

    path = os.path.join(work, "db")
    rng = np.random.default_rng(7)
    data = rng.standard_normal((N, DIM), dtype=np.float32)
    c = tessarin.Tessarin(path).collection("c", DIM)
    c.add_batch(data, [{"i": i, "tag": "t%d" % (i % 7)} for i in range(N)])
    del c
    out = {}

    cold = []
    for _ in range(REPEATS):
        c = tessarin.Tessarin(path).get_collection("c")
        cold.append(timed_compact(c)[0])
        del c
    out["cold_ms"] = statistics.median(cold)

    c = tessarin.Tessarin(path).get_collection("c")
    c.search(data[0], 10)
    out["warm_ms"] = statistics.median(timed_compact(c)[0] for _ in range(REPEATS))
    del c

    # Each life from a copy of the collection as it was, so that every one
    # loses slots taken from the file's end (a life after a reclaiming
    # compaction would take the slots the saved free list still holds).
    template = os.path.join(work, "template")
    shutil.copytree(path, template)
    lost = []
    for _ in range(REPEATS):
        shutil.rmtree(path)
        shutil.copytree(template, path)
        os.sync()  # else the store's commit would also write out the copy
        subprocess.run([sys.executable, "-c", LOSE_QUEUED_ADDS, path], check=True, env=os.environ)
        c = tessarin.Tessarin(path).get_collection("c")
        ms, freed = timed_compact(c)
        out["lost_freed_kb"] = freed / 1024
        lost.append(ms)
        del c
    out["lost_ms"] = statistics.median(lost)
    shutil.rmtree(path)
    shutil.rmtree(template)
    return out


ROWS = [
    ("cold_ms", "compact, first after open", "{:,.1f} ms"),
    ("warm_ms", "compact, mirror built", "{:,.1f} ms"),
    ("lost_ms", "compact after 99 lost adds", "{:,.1f} ms"),
    ("lost_freed_kb", "  bytes_freed", "{:,.0f} KB"),
]


def main():
    compare_builds(__file__, "tessarin-compact-bench-", worker, ROWS, f"n={N}, dim={DIM}")


if __name__ == "__main__":
    main()
