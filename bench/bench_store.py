"""The collection store under the workloads that grow with it, for one or
more builds of the project in one run (e.g. before and after a change).

    /usr/bin/python3 bench/bench_store.py BUILD_DIR [BUILD_DIR ...]

Each BUILD_DIR is a build of the project (its python/ holds the module);
each runs in its own processes, and the table shows them side by side:
  * 10 000-record batches (384 dimensions, small metadata, given string
    ids) into one collection growing to 1 000 000 records: records/s of the
    batches starting at 0, 100 000, 500 000 and 990 000 records, and the disk
    size of the collection at the end;
  * single adds through Python (20 000 adds + sync) into an empty collection
    and into the growing one at 500 000 records;
  * at 100 000 records: add_batch of 100 000 into an empty collection, get
    (µs/call), exact search k=10 (median ms), export and import (s), opening
    the collection in a new Tessarin (ms), upsert of a stored id and delete
    (µs/call, durable on return);
  * resident memory of a process that holds 100 open collections of 1 000
    records each.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

DIM = 384
BATCH = 10_000


def worker(work):
    import tessarin

    rng = np.random.default_rng(7)
    block = rng.standard_normal((BATCH, DIM), dtype=np.float32)
    metas = [{"i": i, "tag": "t%d" % (i % 7)} for i in range(BATCH)]
    out = {}

    def single_adds(coll, n, prefix):
        t0 = time.perf_counter()
        for i in range(n):
            coll.add(block[i % BATCH], metas[i % BATCH], id=f"{prefix}{i}")
        coll.sync()
        return n / (time.perf_counter() - t0)

    # Growth to 1 000 000 records.
    db = tessarin.Tessarin(os.path.join(work, "grow"))
    grow = db.collection("c", DIM)
    out["single_adds_at_0"] = single_adds(db.collection("s", DIM), 20_000, "s")
    marks = {0: "batch_at_0", 100_000: "batch_at_100k", 500_000: "batch_at_500k", 990_000: "batch_at_990k"}
    total = 0
    while total < 1_000_000:
        ids = [f"{total + i:012d}-{(total + i) * 2654435761 % 1000003:07d}" for i in range(BATCH)]
        ids = [i[::-1] for i in ids]  # scattered keys, as random ids are
        t0 = time.perf_counter()
        grow.add_batch(block, metas, ids=ids)
        rate = BATCH / (time.perf_counter() - t0)
        if total in marks:
            out[marks[total]] = rate
        total += BATCH
        if total == 500_000:
            out["single_adds_at_500k"] = single_adds(grow, 20_000, "g")
    del grow, db
    size = 0
    for root, _, files in os.walk(os.path.join(work, "grow", "collections", "c")):
        size += sum(os.path.getsize(os.path.join(root, f)) for f in files)
    out["disk_mb_at_1m"] = size / 1e6
    shutil.rmtree(os.path.join(work, "grow"))

    # At 100 000 records.
    path = os.path.join(work, "h")
    db = tessarin.Tessarin(path)
    c = db.collection("c", DIM)
    data = rng.standard_normal((100_000, DIM), dtype=np.float32)
    hmetas = [{"i": i} for i in range(100_000)]
    ids = [f"id-{i:07d}" for i in range(100_000)]
    t0 = time.perf_counter()
    c.add_batch(data, hmetas, ids=ids)
    out["batch_100k_into_empty"] = 100_000 / (time.perf_counter() - t0)
    picks = rng.integers(0, 100_000, 10_000)
    t0 = time.perf_counter()
    for p in picks:
        c.get(ids[p])
    out["get_us"] = (time.perf_counter() - t0) / len(picks) * 1e6
    c.search(data[0], 10)
    times = []
    for q in data[1:51]:
        t0 = time.perf_counter()
        c.search(q, 10)
        times.append(time.perf_counter() - t0)
    out["search_ms"] = statistics.median(times) * 1e3
    exp = os.path.join(work, "e.ndjson")
    t0 = time.perf_counter()
    c.export_to_file(exp)
    out["export_s"] = time.perf_counter() - t0
    target = db.collection("imported", DIM)
    t0 = time.perf_counter()
    target.import_from_file(exp)
    out["import_s"] = time.perf_counter() - t0
    t0 = time.perf_counter()
    for i in range(2000):
        c.upsert(ids[i], data[i + 1], hmetas[i])
    out["upsert_us"] = (time.perf_counter() - t0) / 2000 * 1e6
    t0 = time.perf_counter()
    for i in range(2000, 4000):
        c.delete(ids[i])
    out["delete_us"] = (time.perf_counter() - t0) / 2000 * 1e6
    del c, target, db
    t0 = time.perf_counter()
    db = tessarin.Tessarin(path)
    c = db.get_collection("c")
    len(c)
    out["open_ms"] = (time.perf_counter() - t0) * 1e3
    del c, db
    shutil.rmtree(path)
    return out


def many_collections_rss(work):
    """Resident memory (MB) of a fresh process holding 100 open collections
    of 1 000 records each (one search each, so their readers are warm)."""
    import tessarin

    path = os.path.join(work, "many")
    db = tessarin.Tessarin(path)
    data = np.random.default_rng(3).standard_normal((1000, DIM), dtype=np.float32)
    for n in range(100):
        db.collection(f"c{n}", DIM).add_batch(data, [{} for _ in range(1000)])
    del db
    code = ("import sys, tessarin, numpy as np\n"
            "db = tessarin.Tessarin(sys.argv[1])\n"
            "cs = [db.get_collection(f'c{n}') for n in range(100)]\n"
            "q = np.ones(%d, dtype=np.float32)\n"
            "[c.search(q, 10) for c in cs]\n"
            "print([l for l in open('/proc/self/status') if l.startswith('VmRSS')][0].split()[1])\n" % DIM)
    base = ("import sys, tessarin, numpy as np\n"
            "print([l for l in open('/proc/self/status') if l.startswith('VmRSS')][0].split()[1])\n")
    env = dict(os.environ)
    rss = int(subprocess.run([sys.executable, "-c", code, path], check=True, capture_output=True,
                             text=True, env=env).stdout.split()[-1])
    idle = int(subprocess.run([sys.executable, "-c", base], check=True, capture_output=True,
                              text=True, env=env).stdout.split()[-1])
    shutil.rmtree(path)
    return (rss - idle) / 1024.0


ROWS = [
    ("batch_at_0", "10k batches at 0 records", "{:,.0f} /s"),
    ("batch_at_100k", "10k batches at 100 000", "{:,.0f} /s"),
    ("batch_at_500k", "10k batches at 500 000", "{:,.0f} /s"),
    ("batch_at_990k", "10k batches at 990 000", "{:,.0f} /s"),
    ("disk_mb_at_1m", "disk at 1 000 000 records", "{:,.0f} MB"),
    ("single_adds_at_0", "single adds at 0", "{:,.0f} /s"),
    ("single_adds_at_500k", "single adds at 500 000", "{:,.0f} /s"),
    ("batch_100k_into_empty", "add_batch 100 000 into empty", "{:,.0f} /s"),
    ("get_us", "get at 100 000", "{:,.1f} us"),
    ("search_ms", "exact search k=10 at 100 000", "{:,.2f} ms"),
    ("export_s", "export 100 000", "{:,.2f} s"),
    ("import_s", "import 100 000", "{:,.2f} s"),
    ("open_ms", "open a 100 000 collection", "{:,.1f} ms"),
    ("upsert_us", "upsert of a stored id", "{:,.0f} us"),
    ("delete_us", "delete", "{:,.0f} us"),
    ("rss_100_collections_mb", "RSS, 100 open collections", "{:,.0f} MB"),
]


def compare_builds(script, prefix, worker, rows, title=None):
    """The main of a benchmark that compares builds: run as `script BUILD_DIR
    [BUILD_DIR ...]` (default "build"), it runs `worker(work)` (a dict of
    figures, `work` a fresh temporary directory) in a process of its own with
    each build's module, and prints `rows` (key, label, format) side by
    side under `title`; run as `script --worker DIR`, it is that process."""
    if len(sys.argv) >= 3 and sys.argv[1] == "--worker":
        work = tempfile.mkdtemp(prefix=prefix, dir=sys.argv[2])
        try:
            result = worker(work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        print(json.dumps(result))
        return
    builds = sys.argv[1:] or ["build"]
    results = []
    for build in builds:
        env = {**os.environ, "PYTHONPATH": os.path.abspath(os.path.join(build, "python"))}
        proc = subprocess.run([sys.executable, script, "--worker", os.getcwd()], check=True,
                              capture_output=True, text=True, env=env)
        results.append(json.loads(proc.stdout.splitlines()[-1]))
    width = max(len(r[1]) for r in rows)
    if title:
        print(f"\n{title}")
    print(("" if title else "\n") + f"{'':<{width}}" +
          "".join(f"  {os.path.basename(b.rstrip('/')):>16}" for b in builds))
    for key, label, fmt in rows:
        print(f"{label:<{width}}" + "".join(f"  {fmt.format(r[key]):>16}" for r in results))


def main():
    compare_builds(__file__, "tessarin-store-bench-",
                   lambda work: {**worker(work), "rss_100_collections_mb": many_collections_rss(work)},
                   ROWS)


if __name__ == "__main__":
    main()
