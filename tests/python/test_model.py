"""A model test: random sequences of every public call on one collection,
each step checked against an exact model of what the calls acknowledged.

The model is what a user is promised, independent of when group commits,
rebuilds of the graph or saves of its file happen: get returns an id's last
write, len counts the live records, a search never returns a record the
model does not hold (nor an old version of one), a plain collection answers
with the exact top k and a record's own vector finds it first. It runs over
plain collections and small graph collections (ef_search above the record
count) of the three metrics.

CI runs a fixed set of examples (derandomised); `make test-model` runs many
more (TESSARIN_MODEL_EXAMPLES, TESSARIN_MODEL_STEPS).

Kept out of the sequences, as their outcome depends on when a group commit
happens: an add of an id that is still live (delete then removes its first
queued write only), and deletes or re-adds of ids whose record expired.
"""
import gc
import itertools
import os
import shutil
import subprocess
import tempfile

import numpy as np
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition,
                                 rule)

import tessarin

TOOL = os.path.join(os.path.dirname(os.path.dirname(tessarin.__file__)), "make_graph_collection")
DIM = 6
MAX_RECORDS = 40   # the graph's ef_search (64) stays above the record count
IDS = [f"id{i}" for i in range(12)]
# Unit vectors of distinct directions: under every metric a record's own
# vector scores it strictly best.
_POOL = np.random.default_rng(7).standard_normal((4096, DIM))
POOL = (_POOL / np.linalg.norm(_POOL, axis=1, keepdims=True)).astype(np.float32)
WHERES = [None, {}, {"g": 1}, {"g": {"$in": [0, 2]}}, {"g": {"$gte": 2}}, {"g": {"$ne": 3}}]
GRAPH_PARAMS = ("8", "16", "8", "64", "64", "0.5")


def matches(meta, where):
    if not where:
        return True
    for key, cond in where.items():
        value = meta.get(key)
        if not isinstance(cond, dict):
            cond = {"$eq": cond}
        for op, arg in cond.items():
            ok = {"$eq": lambda: value == arg, "$ne": lambda: value != arg,
                  "$in": lambda: value in arg, "$gte": lambda: value is not None and value >= arg}[op]()
            if not ok:
                return False
    return True


class CollectionModel(RuleBasedStateMachine):
    """One database holding one collection under test, and its model:
    records {id: (pool index, metadata)}."""

    def __init__(self):
        super().__init__()
        self.tmp = tempfile.mkdtemp(prefix="tessarin-model-")
        self.path = os.path.join(self.tmp, "db")
        self.records = {}
        self.expired = set()   # ids whose only write has expired: never reused
        self.next_vector = itertools.count()
        self.names = itertools.count()
        self.db = self.coll = None

    def teardown(self):
        self.coll = self.db = None
        gc.collect()
        shutil.rmtree(self.tmp, ignore_errors=True)

    # ---- set-up and helpers ----

    @initialize(graph=st.booleans(), metric=st.sampled_from(["cosine", "dot", "l2"]))
    def create(self, graph, metric):
        self.graph, self.metric = graph, metric
        self.name = self.make_collection()

    def make_collection(self):
        """A new empty collection of this example's kind, opened."""
        name = f"c{next(self.names)}"
        if self.graph:
            self.coll = self.db = None
            gc.collect()
            made = subprocess.run([TOOL, self.path, name, str(DIM), self.metric, *GRAPH_PARAMS],
                                  capture_output=True, text=True)
            assert made.returncode == 0, made.stderr
            self.db = tessarin.Tessarin(self.path)
            self.coll = self.db.get_collection(name)
        else:
            self.db = self.db or tessarin.Tessarin(self.path)
            self.coll = self.db.collection(name, DIM, self.metric)
        return name

    def write(self, rid, vi, meta):
        self.records.pop(rid, None)   # to the end: the model keeps write order
        self.records[rid] = (vi, meta)

    def vector(self):
        i = next(self.next_vector) % len(POOL)
        return i, POOL[i]

    def score(self, a, b):
        a, b = POOL[a].astype(np.float64), POOL[b].astype(np.float64)
        return float(np.sum((a - b) ** 2)) if self.metric == "l2" else float(a @ b)

    def better(self, s, t):
        return s < t if self.metric == "l2" else s > t

    def free_ids(self):
        return [i for i in IDS if i not in self.records and i not in self.expired]

    def check_hits(self, hits, query, k, where):
        """Every hit a record of the model, with its metadata and its score,
        best first; on a plain collection, the exact top k."""
        ranked = sorted((rid for rid, (_, meta) in self.records.items() if matches(meta, where)),
                        key=lambda rid: self.score(self.records[rid][0], query),
                        reverse=self.metric != "l2")
        assert len(hits) <= k and len({h.id for h in hits}) == len(hits)
        for pos, hit in enumerate(hits):
            assert hit.id in self.records, f"{hit.id} is not held"
            vi, meta = self.records[hit.id]
            assert hit.metadata == meta and matches(meta, where)
            assert abs(hit.score - self.score(vi, query)) < 1e-4
            if pos > 0:
                assert not self.better(hit.score, hits[pos - 1].score)
        if not self.graph or where is None:
            assert len(hits) == min(k, len(ranked))
        if not self.graph:
            for hit, rid in zip(hits, ranked):  # equal up to ties
                assert abs(hit.score - self.score(self.records[rid][0], query)) < 1e-4

    # ---- writes ----

    @precondition(lambda self: len(self.records) < MAX_RECORDS)
    @rule(data=st.data(), given_id=st.booleans(), ttl=st.sampled_from([None, None, 10**6, 0]))
    def add(self, data, given_id, ttl):
        vi, v = self.vector()
        meta = {"g": data.draw(st.integers(0, 3)), "n": vi}
        free = self.free_ids()
        if given_id and free:
            rid = data.draw(st.sampled_from(free))
            assert self.coll.add(v, meta, id=rid, ttl=ttl) == rid
        else:
            rid = self.coll.add(v, meta, ttl=ttl)
        if ttl == 0:
            self.expired.add(rid)
        else:
            self.write(rid, vi, meta)

    @precondition(lambda self: len(self.records) < MAX_RECORDS)
    @rule(data=st.data(), n=st.integers(1, 5), given_ids=st.booleans())
    def add_batch(self, data, n, given_ids):
        rows = [self.vector() for _ in range(n)]
        metas = [{"g": data.draw(st.integers(0, 3)), "n": vi} for vi, _ in rows]
        vectors = np.stack([v for _, v in rows])
        if given_ids:
            # Ids stored or queued are replaced; one may come twice (the
            # later row wins).
            choices = [i for i in IDS if i not in self.expired]
            ids = [data.draw(st.sampled_from(choices)) for _ in range(n)]
            assert self.coll.add_batch(vectors, metas, ids=ids) == ids
        else:
            ids = self.coll.add_batch(vectors, metas)
        for rid, (vi, _), meta in zip(ids, rows, metas):
            self.write(rid, vi, meta)

    @rule(data=st.data())
    def upsert(self, data):
        rid = data.draw(st.sampled_from([i for i in IDS if i not in self.expired]))
        if rid not in self.records and len(self.records) >= MAX_RECORDS:
            return
        vi, v = self.vector()
        meta = {"g": data.draw(st.integers(0, 3)), "n": vi, "up": True}
        self.coll.upsert(rid, v, meta)
        self.write(rid, vi, meta)

    @rule(data=st.data())
    def delete(self, data):
        live = sorted(self.records)
        choices = [i for i in IDS if i not in self.expired] + live + ["missing"]
        rid = data.draw(st.sampled_from(choices))
        assert self.coll.delete(rid) == (rid in self.records)
        self.records.pop(rid, None)

    @precondition(lambda self: self.records)
    @rule(data=st.data(), how=st.sampled_from(["add", "add_batch", "upsert"]))
    def delete_and_readd(self, data, how):
        """A record deleted and written again under its id at once: it may
        take back its old slot."""
        rid = data.draw(st.sampled_from(sorted(self.records)))
        assert self.coll.delete(rid)
        vi, v = self.vector()
        meta = {"g": data.draw(st.integers(0, 3)), "n": vi, "again": True}
        if how == "add":
            self.coll.add(v, meta, id=rid)
        elif how == "add_batch":
            self.coll.add_batch(v[None, :], [meta], ids=[rid])
        else:
            self.coll.upsert(rid, v, meta)
        self.write(rid, vi, meta)

    # ---- reads ----

    @rule(data=st.data(), k=st.integers(1, 20), where=st.sampled_from(WHERES))
    def search(self, data, k, where):
        if self.records and data.draw(st.booleans()):
            qi = self.records[data.draw(st.sampled_from(sorted(self.records)))][0]
        else:
            qi, _ = self.vector()
        self.check_hits(self.coll.search(POOL[qi], k, where_=where), qi, k, where)

    @precondition(lambda self: self.records)
    @rule(data=st.data())
    def own_vector_first(self, data):
        rid = data.draw(st.sampled_from(sorted(self.records)))
        hits = self.coll.search(POOL[self.records[rid][0]], 3)
        assert hits and hits[0].id == rid

    # ---- whole-collection calls ----

    @rule()
    def sync(self):
        self.coll.sync() if len(self.records) % 2 else self.db.sync()

    @rule()
    def compact(self):
        self.coll.compact()   # expired writes still queued stay queued

    @rule()
    def reopen(self):
        self.coll = self.db = None
        gc.collect()
        self.db = tessarin.Tessarin(self.path)
        self.coll = self.db.get_collection(self.name)

    @rule()
    def export_and_import(self):
        target = os.path.join(self.tmp, f"{self.name}.ndjson")
        assert self.coll.export_to_file(target) == len(self.records)
        old = self.name
        self.name = self.make_collection()
        stats = self.coll.import_from_file(target)
        assert (stats.imported, stats.skipped, stats.failed) == (len(self.records), 0, 0)
        self.db.drop_collection(old)
        self.expired.clear()

    @rule()
    def drop_and_recreate(self):
        self.coll = None
        gc.collect()
        self.db.drop_collection(self.name)
        self.name = self.make_collection()
        self.records.clear()
        self.expired.clear()

    # ---- after every step ----

    @invariant()
    def agrees_with_model(self):
        if self.coll is None:
            return
        assert len(self.coll) == len(self.records)
        for rid in IDS + sorted(self.records):
            hit = self.coll.get(rid)
            if rid in self.records:
                assert hit is not None and hit.metadata == self.records[rid][1], rid
            else:
                assert hit is None, rid
        # The records written last (the model keeps write order) are found by
        # their own vectors, and a search as wide as the collection finds all.
        for rid in list(self.records)[-4:]:
            hits = self.coll.search(POOL[self.records[rid][0]], 2)
            assert hits and hits[0].id == rid, rid
        qi = next(iter(self.records.values()))[0] if self.records else 0
        k = len(self.records) + 1
        self.check_hits(self.coll.search(POOL[qi], k), qi, k, None)


_examples = int(os.environ.get("TESSARIN_MODEL_EXAMPLES", "40"))
_steps = int(os.environ.get("TESSARIN_MODEL_STEPS", "30"))
CollectionModel.TestCase.settings = settings(
    max_examples=_examples, stateful_step_count=_steps, deadline=None,
    derandomize="TESSARIN_MODEL_EXAMPLES" not in os.environ, database=None,
    suppress_health_check=list(HealthCheck))

TestCollectionModel = CollectionModel.TestCase
