"""Child process of the crash test: runs a random mix of writes on one
collection until it is killed, logging each call before it starts and after
it returns.

    crash_child.py DB_PATH LOG_PATH SEED FIRST_VERSION

Log lines (JSON, one per line, written straight to the file):
    {"b": n, "op": "add"|"upsert"|"delete"|"batch"|"sync"|"compact",
     "items": [[id, version], ...]}                       before call n
    {"e": n, "r": result}                                 after it returned
A version is a number unique to one write; the record written carries it in
its metadata ("v") and its vector is version_vector(version).
"""
import json
import os
import random
import sys

import numpy as np

import tessarin

DIM = 8
IDS = [f"id{i}" for i in range(24)]


def version_vector(version):
    rng = np.random.default_rng(version)
    return rng.uniform(-1.0, 1.0, DIM).astype(np.float32)


def main():
    db_path, log_path, seed, version = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    rng = random.Random(seed)
    log = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)

    def write(entry):
        os.write(log, (json.dumps(entry) + "\n").encode())

    c = tessarin.Tessarin(db_path).collection("c", DIM, "dot")
    ops = ["add"] * 30 + ["upsert"] * 25 + ["delete"] * 18 + ["batch"] * 10 + ["sync"] * 9 + ["compact"] * 3
    for n in range(1_000_000):
        op = rng.choice(ops)
        items = []
        if op in ("add", "upsert", "delete"):
            items = [[rng.choice(IDS), version]]
            version += 1
        elif op == "batch":
            for _ in range(rng.randint(1, 6)):  # ids may repeat within a batch
                items.append([rng.choice(IDS), version])
                version += 1
        write({"b": n, "op": op, "items": items})
        if op == "add":
            (rid, v), = items
            r = c.add(version_vector(v), {"v": v}, id=rid)
        elif op == "upsert":
            (rid, v), = items
            r = c.upsert(rid, version_vector(v), {"v": v})
        elif op == "delete":
            r = c.delete(items[0][0])
        elif op == "batch":
            r = c.add_batch(np.stack([version_vector(v) for _, v in items]),
                            [{"v": v} for _, v in items], ids=[rid for rid, _ in items])
        elif op == "sync":
            r = c.sync()
        else:
            s = c.compact()
            r = [s.expired_removed, s.tombstones_removed]
        write({"e": n, "r": r})


if __name__ == "__main__":
    main()
