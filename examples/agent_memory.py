"""Agent memory with Tessarin: an assistant stores what it learns as vectors
with metadata, recalls by similarity and filters, lets short-lived notes
expire, forgets on request and exports its memory to a file.

The "embeddings" here are deterministic stand-ins (hashed bag of words), so
the demo runs without a model; a real agent would use its embedding model.

Run from this directory:  PYTHONPATH=../build/python /usr/bin/python3 agent_memory.py
"""
import hashlib
import os
import shutil
import time

import tessarin

try:
    import numpy as np
except ImportError:  # the module also takes plain lists of floats
    np = None

DIM = 64
DB_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "agent_memory_db")


def embed(text):
    """A unit vector from the words of `text` (a stand-in for a real model)."""
    v = [0.0] * DIM
    for word in text.lower().split():
        h = hashlib.sha256(word.strip(".,!?").encode()).digest()
        v[h[0] % DIM] += 1.0
        v[h[1] % DIM] += 0.5
    if np is not None:
        a = np.asarray(v, dtype=np.float32)
        return a / (np.linalg.norm(a) or 1.0)
    norm = sum(x * x for x in v) ** 0.5 or 1.0
    return [x / norm for x in v]


def show(title, results):
    print(f"\n{title}")
    for r in results:
        print(f"  {r.score:+.3f}  [{r.metadata['kind']:<10}] {r.metadata['text']}")


def main():
    # Start from an empty directory so every run shows the same story.
    shutil.rmtree(DB_DIR, ignore_errors=True)
    db = tessarin.Tessarin(DB_DIR)
    memory = db.collection("memories", DIM)  # cosine similarity by default

    facts = [
        ("fact", "The user's name is Ada and she lives in Lisbon.", 5),
        ("preference", "Ada prefers green tea over coffee in the morning.", 4),
        ("preference", "Ada likes short answers with code examples.", 4),
        ("fact", "Ada works on a rust compiler project at her job.", 3),
        ("event", "Ada has a dentist appointment on Friday at 10.", 2),
        ("fact", "Ada's cat is called Pascal.", 2),
    ]
    # One batch for what the agent already knows ...
    vectors = [embed(text) for _, text, _ in facts]
    if np is not None:
        vectors = np.stack(vectors)
    ids = memory.add_batch(
        vectors,
        [{"kind": kind, "text": text, "importance": imp} for kind, text, imp in facts],
    )
    print(f"Stored {len(ids)} long-term memories; the collection holds {len(memory)}.")

    # ... single adds for what happens during the conversation: a scratch note
    # that lives for one second, and a memory under a stable id.
    memory.add(embed("Ada is asking about tea right now"), {"kind": "scratch", "text": "Ada is asking about tea right now", "importance": 1}, ttl=1)
    memory.upsert("mood", embed("Ada seems tired today"), {"kind": "mood", "text": "Ada seems tired today", "importance": 1})

    show("Recall: what does Ada drink?", memory.search(embed("what does Ada drink tea coffee"), 3))
    show(
        "Recall with a filter (preferences only):",
        memory.search(embed("how should I answer Ada"), 3, where_={"kind": "preference"}),
    )
    show(
        "Important memories (importance >= 4):",
        memory.search(embed("Ada"), 5, where_={"importance": {"$gte": 4}}),
    )

    # Updating a memory by id replaces it.
    memory.upsert("mood", embed("Ada is in a great mood"), {"kind": "mood", "text": "Ada is in a great mood", "importance": 1})
    print(f"\nMood now: {memory.get('mood').metadata['text']}")

    # The scratch note expires: search stops returning it at once, and the
    # compaction below reclaims its slot.
    time.sleep(1.1)
    memory.sync()
    show("After the scratch note expired:", memory.search(embed("Ada is asking about tea right now"), 2))

    # Forgetting on request.
    cat = memory.search(embed("Ada's cat Pascal"), 1)[0]
    print(f"\nForgetting: {cat.metadata['text']} -> {memory.delete(cat.id)}")
    memory.sync()
    print(f"Compaction: {memory.compact()}")

    # Export everything for a backup (outside the database directory, which
    # export refuses), then restore it into another collection.
    export_path = DB_DIR + "-memories.ndjson"
    print(f"\nExported {memory.export_to_file(export_path)} memories to {export_path}")
    restored = db.collection("restored", DIM)
    print(f"Restored: {restored.import_from_file(export_path)}")
    print(f"Database: {db!r}, collections {db.collections()}")


if __name__ == "__main__":
    main()
