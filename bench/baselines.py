#!/usr/bin/python3
"""Brute-force KNN baselines on the data sets written by jix_knn_bench, at one thread and at
every core.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE bench/baselines.py DATA_DIR

Reads DATA_DIR/jix.json (which sets exist, their shapes) and <set>.vectors / <set>.queries,
times every query with k = 10 (the top-k selection included) and writes DATA_DIR/baselines.json:
  - FAISS IndexFlatL2 (float32 sets) and IndexBinaryFlat (bit set);
  - NumPy: float32 by ||x||^2 - 2 x.q + ||q||^2 with the norms computed once beforehand (the
    strongest plain form: one matrix-vector product in the BLAS), int8 by integer squared
    differences, bits by XOR and a per-byte popcount table.
Thread counts are set through threadpoolctl (the BLAS and OpenMP pools) and FAISS's own
setting; the BLAS library and the thread counts that were in force are stored with the
figures, as is the machine's load average, since other work on the machine skews timings.
"""
import json
import os
import sys
import time

import numpy as np
from threadpoolctl import threadpool_info, threadpool_limits

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
    """Wall-clock figures, and the calling thread's CPU time: at one thread the BLAS works on
    this thread, so that figure compares with jix's per-query thread CPU time under load."""
    search(queries[0])  # warm-up
    times, cpu = [], []
    for q in queries:
        start, start_cpu = time.perf_counter(), time.thread_time()
        search(q)
        cpu.append(time.thread_time() - start_cpu)
        times.append(time.perf_counter() - start)
    return {"median_s": float(np.median(times)), "p90_s": float(np.percentile(times, 90)),
            "cpu_median_s": float(np.median(cpu))}


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


def faiss_index(kind, vectors):
    if faiss is None or kind == "int8":  # FAISS has no flat index over int8 vectors
        return None
    if kind == "float":
        index = faiss.IndexFlatL2(vectors.shape[1])
    else:
        index = faiss.IndexBinaryFlat(vectors.shape[1] * 8)
    index.add(vectors)
    return index


def pools():
    """What threadpoolctl sees loaded now: each pool's library and thread count."""
    return [{key: pool.get(key) for key in
             ("user_api", "internal_api", "filepath", "version", "architecture", "num_threads")}
            for pool in threadpool_info()]


def main():
    directory = sys.argv[1]
    with open(os.path.join(directory, "jix.json")) as f:
        sets = json.load(f)
    cores = os.cpu_count() or 1
    thread_counts = sorted({1, cores})
    results = {}
    runtime = {"cores": cores, "load_average_before": os.getloadavg(), "threads": {}}
    for name, meta in sets.items():
        vectors, queries = load(directory, name, meta)
        numpy_search_fn = numpy_search(meta["type"], vectors)
        index = faiss_index(meta["type"], vectors)
        entry = {}
        for threads in thread_counts:
            with threadpool_limits(limits=threads):
                if faiss is not None:
                    faiss.omp_set_num_threads(threads)
                runtime["threads"][str(threads)] = pools()
                figures = {"numpy": timed(numpy_search_fn, queries)}
                if index is not None:
                    figures["faiss"] = timed(lambda q: index.search(q.reshape(1, -1), K), queries)
            entry[str(threads)] = figures
            print(f"[{name}] {threads} thread{'s' if threads > 1 else ''}: " +
                  ", ".join(f"{engine} {v['median_s'] * 1e3:.2f} ms"
                            for engine, v in figures.items()), file=sys.stderr)
        results[name] = entry
        del vectors, index
    runtime["load_average_after"] = os.getloadavg()
    for threads, found in runtime["threads"].items():
        print(f"{threads} thread(s): " + "; ".join(
            f"{p['internal_api']} {p.get('version') or ''} ({os.path.basename(p['filepath'])}) "
            f"{p['num_threads']} threads" for p in found), file=sys.stderr)
    with open(os.path.join(directory, "baselines.json"), "w") as f:
        json.dump({"runtime": runtime, "sets": results}, f, indent=2)


if __name__ == "__main__":
    main()
