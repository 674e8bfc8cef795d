"""The graph index against hnswlib and FAISS, on the same data in one run.

Data sets:
  * "clustered": 100 000 vectors of dimension 128 from a Gaussian mixture of
    1 000 centres (centres ~ N(0, 1) per component, each vector = a centre
    chosen uniformly + N(0, 1) noise per component), plus 1 000 queries drawn
    the same way, plus 1 000 more vectors for the incremental insertion;
  * "normal384": 100 000 vectors of dimension 384, standard normal, with
    1 000 standard normal queries.
Ground truth: exact top-10 by squared L2 distance (NumPy). Graph: m = 16,
m_max0 = 32, m_max = 16, ef_construction = 100, ml = 1/ln 16, L2. hnswlib:
M = 16, ef_construction = 100; FAISS: IndexHNSWFlat, M = 16,
efConstruction = 100. Builds on THREADS threads (default 8), queries on one.

    make bench-graph              (or, after make build:)
    PYTHONPATH=build/python /usr/bin/python3 bench/bench_graph.py [--n N]

Reports: build time (engine vs hnswlib vs FAISS) and the engine's distance
count; recall@10 and queries per second at several beam widths (the engine
at C++ level, hnswlib and FAISS through their batch calls on one thread);
through Python, the graph road's median search latency against the exact
road of an ordinary collection holding the same data; the incremental
insertion rate; what the search after one delete pays (a full rebuild);
index save/load time and file size.

The "grown" road (clustered set): the graph a collection grows into when
90% of the records come in one add_batch followed by a search (a full
build) and the other 10% by single adds with a search every 100 (each
search inserts the records added since). At C++ level the same recall and
queries-per-second rows as the full build, beside hnswlib given the first
90% in one add_items call and the rest one item per call; through Python,
the real road (add_batch, search, then add and search), its recall@10 at
ef_search 48 and how many of 1 000 sampled records a search for their own
vector does not return among its 10 hits.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import tessarin
from bench_python import median_ms

BUILD = os.path.dirname(os.path.dirname(tessarin.__file__))
K = 10
EFS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256]


def mixture(rng, n, dim, centres):
    pick = rng.integers(0, centres.shape[0], n)
    return (centres[pick] + rng.standard_normal((n, dim), dtype=np.float32)).astype(np.float32)


def data_sets(n, nq):
    rng = np.random.default_rng(2026)
    centres = rng.standard_normal((1000, 128), dtype=np.float32)
    clustered = (mixture(rng, n, 128, centres), mixture(rng, nq, 128, centres),
                 mixture(rng, 1000, 128, centres))
    normal = (rng.standard_normal((n, 384), dtype=np.float32),
              rng.standard_normal((nq, 384), dtype=np.float32), None)
    return {"clustered": clustered, "normal384": normal}


def ground_truth(base, queries):
    norms = (base * base).sum(1)
    out = np.empty((len(queries), K), dtype=np.uint32)
    for s in range(0, len(queries), 100):
        q = queries[s:s + 100]
        d = norms[None, :] - 2.0 * (q @ base.T)
        top = np.argpartition(d, K, axis=1)[:, :K]
        order = np.take_along_axis(d, top, 1).argsort(1)
        out[s:s + 100] = np.take_along_axis(top, order, 1)
    return out


def recall(found, truth):
    return float(np.mean([len(set(f[:K]) & set(t)) / K for f, t in zip(found, truth)]))


def engine_cpp(work, base, queries, truth, added, threads, grown=False):
    files = []
    for name, arr in (("base", base), ("queries", queries), ("truth", truth), ("added", added)):
        if arr is None:
            continue
        path = os.path.join(work, name + ".bin")
        arr.tofile(path)
        files.append(path)
    args = [os.path.join(BUILD, "bench_graph"), files[0], files[1], files[2], str(base.shape[1])]
    if added is not None:
        args.append(files[3])
    if grown:
        args.append("--grown")
    out = subprocess.run(args, check=True, capture_output=True, text=True,
                         env={**os.environ, "RAYON_NUM_THREADS": str(threads)}).stdout
    rows = {"query": "queries", "grown_query": "grown_queries"}
    result = {"queries": [], "grown_queries": []}
    for line in out.splitlines():
        parts = line.split()
        if parts[0] in rows:
            result[rows[parts[0]]].append((int(parts[1].split("=")[1]), float(parts[3]), float(parts[5])))
        else:
            result[parts[0]] = float(parts[1])
    return result


def hnswlib_run(base, queries, truth, threads, grown=False):
    """hnswlib's build and query rows; grown: the first 90% in one add_items
    call, the rest one item per call on one thread."""
    import hnswlib
    index = hnswlib.Index(space="l2", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=16, ef_construction=100, random_seed=1)
    index.set_num_threads(threads)
    first = len(base) * 9 // 10 if grown else len(base)
    t0 = time.perf_counter()
    index.add_items(base[:first], np.arange(first))
    index.set_num_threads(1)
    for i in range(first, len(base)):
        index.add_items(base[i:i + 1], [i])
    build = time.perf_counter() - t0
    rows = []
    for ef in EFS:
        index.set_ef(max(ef, K))
        t0 = time.perf_counter()
        labels, _ = index.knn_query(queries, k=K)
        rows.append((ef, recall(labels, truth), len(queries) / (time.perf_counter() - t0)))
    return build, rows


def faiss_run(base, queries, truth, threads):
    import faiss
    faiss.omp_set_num_threads(threads)
    index = faiss.IndexHNSWFlat(base.shape[1], 16)
    index.hnsw.efConstruction = 100
    t0 = time.perf_counter()
    index.add(base)
    build = time.perf_counter() - t0
    faiss.omp_set_num_threads(1)
    rows = []
    for ef in EFS:
        index.hnsw.efSearch = max(ef, K)
        t0 = time.perf_counter()
        _, labels = index.search(queries, K)
        rows.append((ef, recall(labels, truth), len(queries) / (time.perf_counter() - t0)))
    return build, rows


def graph_collection(work, name, dim, ef_search):
    """The database in work/db and its new graph collection `name` (made by
    build/make_graph_collection with the benchmark's parameters)."""
    db_path = os.path.join(work, "db")
    subprocess.run([os.path.join(BUILD, "make_graph_collection"), db_path, name, str(dim), "l2",
                    "16", "32", "16", "100", str(ef_search), str(1.0 / np.log(16.0))], check=True)
    db = tessarin.Tessarin(db_path)
    return db, db.get_collection(name)


def python_roads(work, base, queries, truth, ef_search):
    """Median latency and recall of the graph road (a collection with a graph
    index, made by build/make_graph_collection) and of the exact road (an
    ordinary collection), same data; then the search after one delete."""
    db, graph = graph_collection(work, "graph", base.shape[1], ef_search)
    exact = db.collection("exact", base.shape[1], "l2")
    ids = [str(i) for i in range(len(base))]
    metas = [{} for _ in range(len(base))]
    graph.add_batch(base, metas, ids=ids)
    exact.add_batch(base, metas, ids=ids)
    t0 = time.perf_counter()
    graph.search(queries[0], K)  # builds the graph
    first = time.perf_counter() - t0
    exact.search(queries[0], K)
    found = [[int(h.id) for h in graph.search(q, K)] for q in queries]
    t_graph = median_ms(lambda q: graph.search(q, K), queries)
    t_exact = median_ms(lambda q: exact.search(q, K), queries[:200])
    graph.delete(ids[0])
    t0 = time.perf_counter()
    graph.search(queries[1], K)
    after_delete = time.perf_counter() - t0
    return {"first_search_s": first, "graph_ms": t_graph, "exact_ms": t_exact,
            "recall": recall(found, truth), "after_delete_s": after_delete}


def python_grown(work, base, queries, truth, ef_search):
    """The grown road through the API: add_batch of 90%, a search, then the
    rest by add with a search every 100; recall@10 of the queries and the
    sampled records their own vector does not find."""
    _, graph = graph_collection(work, "grown", base.shape[1], ef_search)
    first = len(base) * 9 // 10
    graph.add_batch(base[:first], [{} for _ in range(first)], ids=[str(i) for i in range(first)])
    graph.search(queries[0], K)
    t0 = time.perf_counter()
    for i in range(first, len(base)):
        graph.add(base[i], {}, id=str(i))
        if (i - first + 1) % 100 == 0:
            graph.search(queries[0], K)
    grow_s = time.perf_counter() - t0
    found = [[int(h.id) for h in graph.search(q, K)] for q in queries]
    sample = np.random.default_rng(7).choice(len(base), 1000, replace=False)
    missed = sum(str(i) not in {h.id for h in graph.search(base[i], K)} for i in sample)
    return {"recall": recall(found, truth), "missed": int(missed), "grow_s": grow_s,
            "added": len(base) - first, "graph_ms": median_ms(lambda q: graph.search(q, K), queries)}


def print_rows(ours_rows, others):
    print(f"  {'ef':>4}  {'engine recall':>13} {'qps':>8}" +
          "".join(f"  {label + ' recall':>15} {'qps':>8}" for label in others))
    for i, (ef, r, qps) in enumerate(ours_rows):
        line = f"  {ef:>4}  {r:13.4f} {qps:8.0f}"
        for label in others:
            _, rows = others[label]
            line += f"  {rows[i][1]:15.4f} {rows[i][2]:8.0f}"
        print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--ef-search", type=int, default=48,
                        help="ef_search of the Python graph collection")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tessarin-graph-bench-")
    try:
        for name, (base, queries, added) in data_sets(args.n, args.queries).items():
            truth = ground_truth(base, queries)
            print(f"\n== {name}: n={len(base)}, dim={base.shape[1]}, queries={len(queries)}, "
                  f"build threads={args.threads}, query threads=1")
            grown = name == "clustered"
            ours = engine_cpp(work, base, queries, truth, added, args.threads, grown)
            print(f"  engine build       {ours['build_seconds']:8.2f} s   distance calcs "
                  f"{int(ours['distance_calcs']):,}")
            others = {}
            for label, run in (("hnswlib", hnswlib_run), ("FAISS", faiss_run)):
                try:
                    others[label] = run(base, queries, truth, args.threads)
                    print(f"  {label:<8} build     {others[label][0]:8.2f} s   "
                          f"engine / {label}: {ours['build_seconds'] / others[label][0]:.2f}")
                except ImportError:
                    print(f"  {label}: not installed")
            print(f"  index file {ours['file_bytes'] / 1e6:.1f} MB; save {ours['save_seconds'] * 1e3:.1f} ms, "
                  f"load {ours['load_seconds'] * 1e3:.1f} ms; build / load = {ours['build_over_load']:.0f}")
            if "incremental_nodes_per_second" in ours:
                print(f"  incremental insertion of 1000 nodes: "
                      f"{ours['incremental_nodes_per_second']:,.0f} nodes/s")
            print_rows(ours["queries"], others)
            if grown:
                print(f"\n  grown: {ours['grown_build_seconds']:.2f} s to build 90%, then "
                      f"{ours['grown_insert_nodes_per_second']:,.0f} nodes/s inserted 100 at a time")
                grown_others = {}
                try:
                    grown_others["hnswlib"] = hnswlib_run(base, queries, truth, args.threads, grown=True)
                    print(f"  hnswlib grown: 90% in one call, then one item per call: "
                          f"{grown_others['hnswlib'][0]:.2f} s")
                except ImportError:
                    print("  hnswlib: not installed")
                print_rows(ours["grown_queries"], grown_others)
            if name == "clustered":
                roads = python_roads(work, base, queries, truth, args.ef_search)
                print(f"  Python, k=10, ef_search={args.ef_search}: graph road {roads['graph_ms']:.3f} ms "
                      f"(recall@10 {roads['recall']:.4f}), exact road {roads['exact_ms']:.3f} ms, "
                      f"ratio {roads['exact_ms'] / roads['graph_ms']:.1f}x")
                print(f"  first search (builds the graph) {roads['first_search_s']:.2f} s; "
                      f"search after one delete (rebuilds it) {roads['after_delete_s']:.2f} s")
                shutil.rmtree(os.path.join(work, "db"), ignore_errors=True)
                g = python_grown(work, base, queries, truth, args.ef_search)
                print(f"  Python, grown road: {g['added']:,} adds with a search every 100 in "
                      f"{g['grow_s']:.2f} s; recall@10 {g['recall']:.4f}, {g['graph_ms']:.3f} ms; "
                      f"{g['missed']} of 1000 sampled records not found by their own vector")
            shutil.rmtree(os.path.join(work, "db"), ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
