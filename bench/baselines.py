#!/usr/bin/python3
"""Brute-force KNN baselines on the data sets written by jix_knn_bench, single thread.

    OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 bench/baselines.py DATA_DIR

Reads DATA_DIR/jix.json (which sets exist, their shapes) and <set>.vectors / <set>.queries,
times every query with k = 10 and writes DATA_DIR/baselines.json:
  - FAISS IndexFlatL2 (float32 sets) and IndexBinaryFlat (bit set), one thread;
  - NumPy: float32 by ||x||^2 - 2 x.q + ||q||^2 with the norms computed once beforehand (the
    usual way to do it in NumPy), int8 by integer squared differences, bits by XOR and a
    per-byte popcount table.
"""
import json
import os
import sys
import time

import numpy as np

try:
    import faiss
except ImportError:  # the report shows the column as missing
    faiss = None

K = 10


def load(directory, name, meta):
    dims, rows = meta["dims"], meta["rows"]
    kind = meta["type"]
    if kind == "float":
        dtype, width = np.float32, dims
    elif kind == "int8":
        dtype, width = np.int8, dims
    else:
        dtype, width = np.uint8, dims // 8
    vectors = np.fromfile(os.path.join(directory, name + ".vectors"), dtype=dtype)
    queries = np.fromfile(os.path.join(directory, name + ".queries"), dtype=dtype)
    return vectors.reshape(rows, width), queries.reshape(-1, width)


def timed(search, queries):
    search(queries[0])  # warm-up
    times = []
    for q in queries:
        start = time.perf_counter()
        search(q)
        times.append(time.perf_counter() - start)
    return {"median_s": float(np.median(times)), "p90_s": float(np.percentile(times, 90))}


def top_k(distances):
    idx = np.argpartition(distances, K)[:K]
    return idx[np.argsort(distances[idx], kind="stable")]


def numpy_search(kind, vectors):
    if kind == "float":
        norms = np.einsum("ij,ij->i", vectors, vectors)

        def search(q):
            return top_k(norms - 2.0 * (vectors @ q) + np.dot(q, q))
    elif kind == "int8":
        wide = vectors.astype(np.int16)

        def search(q):
            diff = wide - q.astype(np.int16)
            return top_k(np.einsum("ij,ij->i", diff, diff, dtype=np.int32))
    else:
        table = np.array([bin(i).count("1") for i in range(256)], dtype=np.uint16)

        def search(q):
            return top_k(table[np.bitwise_xor(vectors, q)].sum(axis=1, dtype=np.uint32))
    return search


def faiss_search(kind, vectors):
    if faiss is None or kind == "int8":  # FAISS has no flat index over int8 vectors
        return None
    faiss.omp_set_num_threads(1)
    if kind == "float":
        index = faiss.IndexFlatL2(vectors.shape[1])
    else:
        index = faiss.IndexBinaryFlat(vectors.shape[1] * 8)
    index.add(vectors)
    return lambda q: index.search(q.reshape(1, -1), K)


def main():
    directory = sys.argv[1]
    with open(os.path.join(directory, "jix.json")) as f:
        sets = json.load(f)
    results = {}
    for name, meta in sets.items():
        vectors, queries = load(directory, name, meta)
        entry = {"numpy": timed(numpy_search(meta["type"], vectors), queries)}
        search = faiss_search(meta["type"], vectors)
        if search is not None:
            entry["faiss"] = timed(search, queries)
        results[name] = entry
        print(f"[{name}] " + ", ".join(f"{engine} {v['median_s'] * 1e3:.2f} ms"
                                       for engine, v in entry.items()), file=sys.stderr)
        del vectors
    with open(os.path.join(directory, "baselines.json"), "w") as f:
        json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
