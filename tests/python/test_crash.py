"""Crash consistency: a child process writes at random and is killed with
SIGKILL at random moments, several lives in a row on one database. After each
kill the database is reopened and every id must hold a state that its
acknowledged operations explain (a durable version is never lost, an
interrupted call leaves the old or the new version), and get, search, len and
export must agree on which records exist, before and after a compaction.

TESSARIN_CRASH_LIVES sets the number of lives (`make soak` runs many).
"""
import json
import os
import random
import subprocess
import sys
import time

import numpy as np

import tessarin

sys.path.insert(0, os.path.dirname(__file__))
from crash_child import DIM, IDS, version_vector  # noqa: E402

CHILD = os.path.join(os.path.dirname(__file__), "crash_child.py")
LIVES = int(os.environ.get("TESSARIN_CRASH_LIVES", "10"))


# ---- The model: per id, the set of (stored version, queued versions) states
# the calls so far allow. A group commit may run at any add of any id, so
# before every call of an id its queue may or may not have been committed.

def flushed(state):
    stored, queue = state
    return (queue[-1], ()) if queue else state


def with_optional_flush(states):
    return states | {flushed(s) for s in states}


def apply(op, rid, version, state, result):
    """The states one completed call leads to (empty: `result` rules it out)."""
    stored, queue = state
    if op == "add":
        return {(stored, queue + (version,))}
    if op == "upsert":
        rest = queue[1:]
        return {(version, ())} if stored is not None else {(stored, rest + (version,))}
    if op == "delete":
        if queue:
            return {(stored, queue[1:])} if result is True else set()
        if stored is not None:
            return {(None, ())} if result is True else set()
        # Nothing visible: False, or True when an invisible row (a batch's
        # Pending record left by a kill) was removed.
        return {state}
    raise AssertionError(op)


def replay(base, entries):
    """{id: set of versions (None: no record)} that the log allows."""
    states = {rid: {(base.get(rid), ())} for rid in IDS}
    for entry, result, done in entries:
        op, items = entry["op"], entry["items"]
        if op in ("sync", "batch"):  # both commit the whole queue first
            for rid in IDS:
                states[rid] = ({flushed(s) for s in states[rid]} if done
                               else with_optional_flush(states[rid]))
            if op == "batch":
                last = {rid: v for rid, v in items}
                for rid, v in last.items():
                    states[rid] = {(v, ())} if done else states[rid] | {(v, ())}
            continue
        if op == "compact":
            continue
        (rid, v), = items
        before = with_optional_flush(states[rid])
        after, paths = set(), set()
        for s in before:
            for r in ((result,) if done else (True, False) if op == "delete" else (None,)):
                reached = apply(op, rid, v, s, r)
                after |= reached
                # A delete that found no queued write and deleted wrote to
                # the store: it committed every queued write first.
                if reached:
                    paths.add(op == "delete" and not s[1] and r is True)
        assert after, f"call {entry['b']} ({op} {rid}) returned {result!r}, which no state explains"
        states[rid] = after if done else before | after
        if done and paths == {True}:
            for other in IDS:
                if other != rid:
                    states[other] = {flushed(s) for s in states[other]}
    return {rid: {s for s, _ in with_optional_flush(st)} for rid, st in states.items()}


def read_log(path):
    """[(call entry, result, returned)] in call order; a torn last line is
    dropped."""
    calls, ends = [], {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            try:
                entry = json.loads(line)
            except ValueError:
                break
            if "b" in entry:
                calls.append(entry)
            else:
                ends[entry["e"]] = entry["r"]
    return [(c, ends.get(c["b"]), c["b"] in ends) for c in calls]


def check_readers_agree(db_path, allowed):
    c = tessarin.Tessarin(db_path).collection("c", DIM, "dot")
    got = {}
    for rid in IDS:
        hit = c.get(rid)
        version = None if hit is None else hit.metadata["v"]
        assert version in allowed[rid], f"{rid}: found {version}, allowed {allowed[rid]}"
        if hit is not None:
            got[rid] = version

    def agree():
        assert len(c) == len(got)
        hits = c.search(np.ones(DIM, dtype=np.float32), 1000)  # each once, with its version
        assert len(hits) == len(got) and {h.id: h.metadata["v"] for h in hits} == got
        assert all(abs(h.score - float(version_vector(got[h.id]).sum())) < 1e-4 for h in hits)
        path = db_path + ".export.ndjson"
        assert c.export_to_file(path) == len(got)
        with open(path, encoding="utf-8") as f:
            records = [json.loads(line) for line in f.readlines()[1:]]
        assert len(records) == len(got) and {r["id"]: r["metadata"]["v"] for r in records} == got
        assert all(np.allclose(r["vector"], version_vector(got[r["id"]])) for r in records)

    agree()
    c.compact()
    agree()
    return got


# One life that loses what it queued: a compaction, then 99 adds (one short
# of a group commit), then the process ends without a flush.
LOSE_QUEUED_ADDS = """
import os, sys
import numpy as np
import tessarin
c = tessarin.Tessarin(sys.argv[1]).collection("c", int(sys.argv[2]), "dot")
c.compact()
for i in range(99):
    c.add(np.full(c.dimensions, i, dtype=np.float32), {"i": i})
os._exit(0)
"""


def test_slots_of_lost_queued_adds_are_reclaimed(tmp_path):
    """Twelve lives of 99 lost adds would take more slots than a fresh vector
    file holds; the compaction of each life takes back what the last one
    lost, so the file keeps its size."""
    db_path = str(tmp_path / "db")
    db = tessarin.Tessarin(db_path)
    fresh = db.collection("c", DIM, "dot").vectors_size_bytes
    del db
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    for _ in range(12):
        subprocess.run([sys.executable, "-c", LOSE_QUEUED_ADDS, db_path, str(DIM)], env=env,
                       check=True)
    c = tessarin.Tessarin(db_path).collection("c", DIM, "dot")
    c.compact()
    assert c.vectors_size_bytes == fresh


def test_killed_writers_lose_nothing_acknowledged(tmp_path):
    db_path = str(tmp_path / "db")
    seed = int(os.environ.get("TESSARIN_CRASH_SEED", str(random.randrange(1 << 30))))
    rng = random.Random(seed)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    base, version, calls = {}, 1, 0
    for life in range(LIVES):
        log_path = str(tmp_path / f"life{life}.log")
        child = subprocess.Popen(
            [sys.executable, CHILD, db_path, log_path, str(rng.randrange(1 << 30)), str(version)],
            env=env)
        time.sleep(rng.uniform(0.2, 0.8))
        child.kill()
        assert child.wait() == -9, f"seed {seed}: the child ended by itself"
        entries = read_log(log_path) if os.path.exists(log_path) else []
        calls += len(entries)
        try:
            base = check_readers_agree(db_path, replay(base, entries))
        except AssertionError as e:
            raise AssertionError(f"seed {seed}, life {life}: {e}") from e
        versions = [v for entry, _, _ in entries for _, v in entry["items"]]
        version = max(versions, default=version - 1) + 1
    assert calls > 0


# A program that creates collections (some get three records, durable on
# return) and drops earlier ones, logging each call before it starts ("b")
# and after it returns ("e"), until it is killed.
CREATE_AND_DROP = """
import json, os, random, sys
import tessarin
db_path, log_path, seed, first = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(seed)
fd = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
log = lambda *entry: os.write(fd, (json.dumps(entry) + "\\n").encode())
db = tessarin.Tessarin(db_path)
live = []
for n in range(first, first + 1_000_000):
    name, dim = "n%d" % n, rng.choice([4, 300, 2000])
    log("b", "create", name, dim)
    c = db.collection(name, dim)
    log("e", "create", name, dim)
    if rng.random() < 0.4:
        c.add_batch([[1.0] * dim] * 3, [{}] * 3)
        log("e", "add", name, dim)
    del c
    live.append(name)
    if len(live) > 3:
        victim = live.pop(rng.randrange(len(live)))
        log("b", "drop", victim, 0)
        db.drop_collection(victim)
        log("e", "drop", victim, 0)
"""


def read_names_log(path):
    """{name: (dims, records allowed, state)} from a CREATE_AND_DROP log;
    state: None (creation begun), "created", "dropping" or "dropped"."""
    names, last = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            try:
                when, op, name, dims = json.loads(line)
            except ValueError:  # a torn last line
                break
            last = [when, op, name]
            entry = names.setdefault(name, [dims, {0}, None])
            if op == "add":
                entry[1] = {3}
            elif op == "create" and when == "e":
                entry[2] = "created"
            elif op == "drop":
                entry[2] = "dropping" if when == "b" else "dropped"
    if last and last[:2] == ["e", "create"]:  # killed inside its batch, if any
        names[last[2]][1] = {0, 3}
    return {name: tuple(entry) for name, entry in names.items()}


def test_killed_creations_and_drops_leave_every_name_usable(tmp_path):
    """After each kill every name the program touched is registered and
    opens with the records its calls left, or is absent, and creating it then
    works and starts empty (with other dimensions too): no creation leaves a
    name that never opens, no drop brings records back, and once every name
    is dropped nothing is left in "collections/"."""
    db_path = str(tmp_path / "db")
    seed = int(os.environ.get("TESSARIN_CRASH_SEED", str(random.randrange(1 << 30))))
    rng = random.Random(seed)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    first = 0
    for life in range(LIVES):
        log_path = str(tmp_path / f"names{life}.log")
        child = subprocess.Popen([sys.executable, "-c", CREATE_AND_DROP, db_path, log_path,
                                  str(rng.randrange(1 << 30)), str(first)], env=env)
        time.sleep(rng.uniform(0.2, 0.8))
        child.kill()
        assert child.wait() == -9, f"seed {seed}: the child ended by itself"
        names = read_names_log(log_path) if os.path.exists(log_path) else {}
        db = tessarin.Tessarin(db_path)
        for name, (dims, records, state) in names.items():
            try:
                if name in db.collections():
                    assert state != "dropped", "a dropped collection came back"
                    allowed = {0} if state is None else records
                    assert len(db.get_collection(name)) in allowed
                    assert len(db.collection(name, dims)) in allowed
                else:
                    assert state != "created", "a created collection is gone"
                    assert len(db.collection(name, 7)) == 0, "records came back"
                db.drop_collection(name)
            except (AssertionError, OSError, ValueError, KeyError) as e:
                raise AssertionError(f"seed {seed}, life {life}, {name} ({state}): {e!r}") from e
        assert db.collections() == [] and os.listdir(os.path.join(db_path, "collections")) == [], (
            f"seed {seed}, life {life}")
        del db
        first += len(names) + 1
