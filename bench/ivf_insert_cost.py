#!/usr/bin/python3
"""Per-row CPU cost of INSERTs into an IVF-indexed jix0 table against the same table unindexed.

  ivf_insert_cost.py DIR BUILD [BUILD ...] [--rows N] [--lists L] [--inserts M] [--rounds R]

BUILD is a folder holding a jix.so (each build in a folder of its own, since SQLite names the
entry point after the file). For each set (clustered: a mixture of L Gaussians; uniform: uniform
in [-1, 1)), both tables (N rows x 128, float32, a metadata column) are made once with the first
build in DIR; each round then copies them, reads every chunk with an exact search, and times, per
build, M inserts in one transaction into each copy, by the thread's CPU time. Prints each
build's per-row cost indexed and unindexed, and the ratio of the medians over the rounds;
builds and tables take turns, so noise hits both.
"""
import argparse
import os
import shutil
import sqlite3
import statistics
import time

import numpy as np

DIMS = 128


def connect(path, build):
    db = sqlite3.connect(path, isolation_level=None)
    db.enable_load_extension(True)
    db.load_extension(os.path.join(build, "jix.so"))
    db.execute("PRAGMA synchronous = OFF")
    db.execute("PRAGMA cache_size = -8000000")
    return db


def clustered(rng, centres, n):
    pick = rng.integers(0, len(centres), n)
    return (centres[pick] + rng.normal(0, 0.2, (n, DIMS))).astype(np.float32)


def uniform(rng, n):
    return rng.uniform(-1, 1, (n, DIMS)).astype(np.float32)


def fill(path, build, declaration, rows, build_index):
    if os.path.exists(path):
        os.remove(path)
    db = connect(path, build)
    db.execute(f"CREATE VIRTUAL TABLE t USING jix0({declaration}, category integer)")
    db.execute("BEGIN")
    db.executemany("INSERT INTO t(rowid, embedding, category) VALUES (?, ?, ?)",
                   ((i + 1, rows[i].tobytes(), i % 10) for i in range(len(rows))))
    db.execute("COMMIT")
    if build_index:
        db.execute("INSERT INTO t(t) VALUES ('build-index')")
    db.close()


def timed_insert(path, build, extra, first, indexed):
    db = connect(path, build)
    # An exact search first reads every chunk into SQLite's cache, as in a long-lived connection.
    probes = " AND probes = 1000000" if indexed else ""
    db.execute(f"SELECT count(*) FROM t WHERE embedding MATCH ? AND k = 10{probes}",
               (extra[0].tobytes(),)).fetchone()
    args = [(first + i, extra[i].tobytes(), i % 10) for i in range(len(extra))]
    start = time.thread_time()
    db.execute("BEGIN")
    db.executemany("INSERT INTO t(rowid, embedding, category) VALUES (?, ?, ?)", args)
    db.execute("COMMIT")
    cpu = time.thread_time() - start
    db.close()
    return cpu / len(extra)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("builds", nargs="+")
    ap.add_argument("--rows", type=int, default=200000)
    ap.add_argument("--lists", type=int, default=1000)
    ap.add_argument("--inserts", type=int, default=10000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--sets", default="clustered,uniform")
    a = ap.parse_args()
    rng = np.random.default_rng(7)
    centres = rng.uniform(-1, 1, (a.lists, DIMS))
    for name in a.sets.split(","):
        if name == "clustered":
            rows, extra = clustered(rng, centres, a.rows), clustered(rng, centres, a.inserts)
        else:
            rows, extra = uniform(rng, a.rows), uniform(rng, a.inserts)
        plain = os.path.join(a.dir, f"{name}-plain.db")
        ivf = os.path.join(a.dir, f"{name}-ivf.db")
        fill(plain, a.builds[0], f"embedding float[{DIMS}]", rows, False)
        fill(ivf, a.builds[0], f"embedding float[{DIMS}] index=ivf lists={a.lists}", rows, True)
        costs = {(b, kind): [] for b in a.builds for kind in ("plain", "ivf")}
        for _ in range(a.rounds):
            for b in a.builds:
                for kind, source in (("plain", plain), ("ivf", ivf)):
                    copy = os.path.join(a.dir, "copy.db")
                    shutil.copyfile(source, copy)
                    costs[(b, kind)].append(timed_insert(copy, b, extra, a.rows + 1, kind == "ivf"))
                    os.remove(copy)
        for b in a.builds:
            p = statistics.median(costs[(b, "plain")])
            i = statistics.median(costs[(b, "ivf")])
            print(f"{name:9s} {b}: unindexed {p * 1e6:7.2f} us/row, indexed {i * 1e6:7.2f} us/row, "
                  f"ratio {i / p:.2f}", flush=True)


if __name__ == "__main__":
    main()
