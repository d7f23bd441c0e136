#!/usr/bin/python3
"""Build CPU time and recall@10 of IVF indexes built by two builds of jix.so, in one run.

Usage: kmeans_compare.py BEFORE.so AFTER.so [--lists 234,490,980] [--probes 1,4,8]
       [--queries N] [--chunk-size N]

Both extensions index the same fashion-mnist table at each list count; the builds alternate so
that the machine's noise falls on both alike. Recall counts the answers within the exact
tenth distance. Needs only NumPy (not bench/ann_bench.py's peers).
"""
import argparse
import gzip
import os
import sqlite3
import sys
import tempfile
import time

import numpy as np

K = 10
FASHION_DIR = "/usr/share/datasets/fashion-mnist"


def read_images(name, limit):
    with gzip.open(os.path.join(FASHION_DIR, name), "rb") as f:
        raw = f.read()
    _, count, height, width = (int(x) for x in np.frombuffer(raw[:16], dtype=">u4"))
    count = min(count, limit)
    pixels = np.frombuffer(raw[16:16 + count * height * width], dtype=np.uint8)
    return pixels.reshape(count, height * width).astype(np.float32)


class Truth:
    """The exact tenth distance (squared, in double) of each query."""

    def __init__(self, rows, queries):
        self.rows, self.queries = rows.astype(np.float64), queries.astype(np.float64)
        norms = (self.rows ** 2).sum(axis=1)
        self.kth = []
        for q in self.queries:
            d = norms - 2 * self.rows @ q + q @ q
            self.kth.append(np.partition(d, K - 1)[K - 1])

    def recall(self, answers):
        found = 0
        for q, ids in enumerate(answers):
            d = ((self.rows[ids] - self.queries[q]) ** 2).sum(axis=1)
            found += int((d <= self.kth[q] * (1 + 1e-6) + 1e-6).sum())
        return found / (K * len(answers))


class Table:
    def __init__(self, path, extension, rows, lists, chunk_size):
        self.db = sqlite3.connect(path, isolation_level=None)
        self.db.enable_load_extension(True)
        self.db.load_extension(extension)
        self.db.execute("PRAGMA page_size = 65536")
        self.db.execute(f"PRAGMA cache_size = -{rows.nbytes * 3 // 1024}")
        option = f", chunk_size={chunk_size}" if chunk_size else ""
        self.db.execute(f"CREATE VIRTUAL TABLE t USING jix0(v float[{rows.shape[1]}] index=ivf "
                        f"lists={lists}{option})")
        self.db.execute("BEGIN")
        self.db.executemany("INSERT INTO t(rowid, v) VALUES (?, ?)",
                            ((i + 1, v.tobytes()) for i, v in enumerate(rows)))
        self.db.execute("COMMIT")

    def build_index(self):
        start = time.process_time()
        self.db.execute("INSERT INTO t(t) VALUES ('build-index')")
        return time.process_time() - start

    def search(self, query, probes):
        sql = f"SELECT rowid FROM t WHERE v MATCH ? AND k = {K} AND probes = ?"
        return [r[0] - 1 for r in self.db.execute(sql, (query.tobytes(), probes))]


def measure(extension, rows, queries, truth, lists, probes, directory, chunk_size):
    path = os.path.join(directory, "kmeans.db")
    table = Table(path, extension, rows, lists, chunk_size)
    build = table.build_index()
    recalls = [truth.recall([table.search(q, p) for q in queries]) for p in probes]
    table.db.close()
    os.remove(path)
    return build, recalls


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("before")
    p.add_argument("after")
    p.add_argument("--lists", default="234,490,980")
    p.add_argument("--probes", default="1,4,8")
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--chunk-size", type=int, default=0,
                   help="declared chunk_size (default: the table's own choice)")
    args = p.parse_args()
    probes = [int(x) for x in args.probes.split(",")]
    try:
        rows = read_images("train-images-idx3-ubyte.gz", 60000)
        queries = read_images("t10k-images-idx3-ubyte.gz", args.queries)
    except FileNotFoundError as e:
        sys.exit(f"{e} (install dataset-fashion-mnist)")
    truth = Truth(rows, queries)
    header = " | ".join(f"recall p={x}" for x in probes)
    print(f"| lists | build | build CPU s | {header} |")
    print("|---" * (3 + len(probes)) + "|")
    with tempfile.TemporaryDirectory() as directory:
        for lists in (int(x) for x in args.lists.split(",")):
            for name, extension in (("before", args.before), ("after", args.after)):
                build, recalls = measure(extension, rows, queries, truth, lists, probes,
                                         directory, args.chunk_size)
                cells = " | ".join(f"{r:.3f}" for r in recalls)
                print(f"| {lists} | {name} | {build:.1f} | {cells} |", flush=True)


if __name__ == "__main__":
    main()
