"""Python-level benchmark of the tessarin module on 100 000 vectors of
dimension 384 (cosine):

  * single `add` throughput with NumPy float32 vectors and small dicts
    (target >= 50 000 adds/s), then the sync that makes them durable;
  * `add_batch` of one 2-D float32 array (target >= 150 000 records/s; the
    batch is durable when the call returns);
  * median `search` latency (k = 10), unfiltered and with a two-condition
    filter that keeps about one record in six, against a NumPy brute-force
    baseline (normalised matrix @ query, then argpartition), and against
    hnswlib / FAISS when they are importable;
  * the cost per call of an upsert of a stored id and of a delete, both
    durable when they return.

Usage (from the repository root, after `make build`):

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [--n N] [--dim D]

The machine setup may export OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE, which can
slow down NumPy's matrix-vector product. For a fair NumPy baseline run the
benchmark with both unset in that command alone:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH=build/python \\
        /usr/bin/python3 bench/bench_python.py
"""
import argparse
import os
import shutil
import statistics
import tempfile
import time

import numpy as np

import tessarin


def median_ms(fn, queries):
    times = []
    for q in queries:
        t0 = time.perf_counter()
        fn(q)
        times.append((time.perf_counter() - t0) * 1000.0)
    return statistics.median(times)


def numpy_topk(matrix, query, k, mask=None):
    """Exact top-k rows by inner product; rows outside `mask` never qualify."""
    scores = matrix @ query
    if mask is not None:
        scores[~mask] = -np.inf
    top = np.argpartition(-scores, k)[:k]
    return top[np.argsort(-scores[top])]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--queries", type=int, default=50)
    parser.add_argument("--k", type=int, default=10)
    args = parser.parse_args()
    n, dim, k = args.n, args.dim, args.k

    rng = np.random.default_rng(42)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    metas = [{"group": i % 3, "flag": i % 2 == 0, "n": i} for i in range(n)]
    where = {"group": 1, "flag": True}  # i % 6 == 4: one record in six
    queries = rng.standard_normal((args.queries, dim), dtype=np.float32)
    rows = []

    workdir = tempfile.mkdtemp(prefix="tessarin-bench-")
    try:
        db = tessarin.Tessarin(os.path.join(workdir, "db"))

        single = db.collection("single", dim)
        t0 = time.perf_counter()
        for i in range(n):
            single.add(data[i], metas[i])
        t_add = time.perf_counter() - t0
        single.sync()
        t_durable = time.perf_counter() - t0
        rows.append(("add (single, NumPy + dict)", f"{n / t_add:,.0f} /s", ">= 50,000 /s"))
        rows.append(("add + final sync", f"{n / t_durable:,.0f} /s", ""))
        del single

        batch = db.collection("batch", dim)
        t0 = time.perf_counter()
        ids = batch.add_batch(data, metas)
        t_batch = time.perf_counter() - t0
        assert len(ids) == n
        rows.append(("add_batch (2-D float32, durable)", f"{n / t_batch:,.0f} /s", ">= 150,000 /s"))

        unit = data / np.linalg.norm(data, axis=1, keepdims=True)
        mask = np.array([m["group"] == 1 and m["flag"] for m in metas])

        # Warm up both sides once (page cache, thread pool, BLAS).
        batch.search(queries[0], k)
        numpy_topk(unit, queries[0], k)

        t_search = median_ms(lambda q: batch.search(q, k), queries)
        t_np = median_ms(lambda q: numpy_topk(unit, q / np.linalg.norm(q), k), queries)
        t_fsearch = median_ms(lambda q: batch.search(q, k, where_=where), queries)
        # NumPy with the filter as a precomputed boolean mask over all rows.
        t_fnp = median_ms(lambda q: numpy_topk(unit, q / np.linalg.norm(q), k, mask), queries)

        # Both return the exact top-k (compared by score: our ids are UUIDs).
        q = queries[1]
        ref = numpy_topk(unit, q / np.linalg.norm(q), k)
        got_scores = [r.score for r in batch.search(q, k)]
        want_scores = (unit[ref] @ (q / np.linalg.norm(q))).tolist()
        assert np.allclose(got_scores, want_scores, atol=1e-4), (got_scores, want_scores)

        rows.append(("search k=10, unfiltered (median)", f"{t_search:.2f} ms",
                     f"NumPy {t_np:.2f} ms, ratio {t_search / t_np:.2f}"))
        rows.append(("search k=10, filtered 1/6 (median)", f"{t_fsearch:.2f} ms",
                     f"NumPy {t_fnp:.2f} ms, ratio {t_fsearch / t_fnp:.2f}; "
                     f"{t_fsearch / t_search:.2f} x unfiltered"))

        # Single writes that are durable on return, on the stored collection:
        # the upsert of a stored id (one group commit) and a delete (a
        # Tombstone commit, then the removal).
        m = min(2000, n // 4)
        t0 = time.perf_counter()
        for i in range(m):
            batch.upsert(ids[i], data[(i + 1) % n], metas[i])
        t_upsert = (time.perf_counter() - t0) / m
        t0 = time.perf_counter()
        for i in range(m, 2 * m):
            batch.delete(ids[i])
        t_delete = (time.perf_counter() - t0) / m
        rows.append(("upsert of a stored id (durable)", f"{t_upsert * 1e6:,.0f} us/call", ""))
        rows.append(("delete of a stored id (durable)", f"{t_delete * 1e6:,.0f} us/call", ""))

        try:
            import hnswlib

            index = hnswlib.Index(space="cosine", dim=dim)
            index.init_index(max_elements=n, ef_construction=200, M=16)
            t0 = time.perf_counter()
            index.add_items(data)
            rows.append(("hnswlib build", f"{n / (time.perf_counter() - t0):,.0f} /s", ""))
            index.set_ef(50)
            rows.append(("hnswlib search (median)", f"{median_ms(lambda q: index.knn_query(q, k), queries):.3f} ms", ""))
        except ImportError:
            rows.append(("hnswlib", "not installed", ""))
        try:
            import faiss

            flat = faiss.IndexFlatIP(dim)
            flat.add(unit)
            rows.append(("FAISS IndexFlatIP search (median)",
                         f"{median_ms(lambda q: flat.search((q / np.linalg.norm(q))[None, :], k), queries):.3f} ms", ""))
        except ImportError:
            rows.append(("FAISS", "not installed", ""))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    print(f"\nTessarin Python benchmark: n={n}, dim={dim}, queries={args.queries}, k={k}")
    width = max(len(r[0]) for r in rows)
    for name, value, note in rows:
        print(f"  {name:<{width}}  {value:>16}  {note}")


if __name__ == "__main__":
    main()
