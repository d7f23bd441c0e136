#!/usr/bin/python3
"""QPS, recall@10 and file size of IVF tables that differ only in their rows per chunk.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE bench/chunk_bytes.py EXTENSION DATA_DIR
        [--sets fashion,clustered] [--chunk-sizes 64,128,256,512] [--lists-factor 2]
        [--probes 2,4,8] [--queries N] [--runs N]

Every table of a set holds the same rows with the same lists (lists = factor x round(sqrt(rows))),
so their centroids and recall are the same and only the chunking differs. Each chunk size is a
declared `chunk_size`, except "default", which is the table's own choice. The tables answer the
queries in turn, one query on each before the next query, so that the machine's noise falls on
all alike; QPS comes from each query's thread CPU time (its least over --runs passes), with
the README's connection settings. Data sets as in bench/ann_bench.py (default sizes).
"""
import argparse
import os
import sys
import time

import numpy as np
from threadpoolctl import threadpool_limits

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ann_bench  # noqa: E402

K = ann_bench.K


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("extension")
    p.add_argument("data_dir")
    p.add_argument("--sets", default="fashion,clustered")
    p.add_argument("--chunk-sizes", default="64,128,256,512")
    p.add_argument("--lists-factor", type=float, default=2.0)
    p.add_argument("--probes", default="2,4,8")
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--runs", type=int, default=3)
    args = p.parse_args()
    os.makedirs(args.data_dir, exist_ok=True)
    args.full, args.scale = False, 1.0
    with threadpool_limits(limits=1):
        for name in args.sets.split(","):
            run_set(name, args)


def run_set(name, args):
    data = ann_bench.load_data(name, args)
    truth = ann_bench.Truth(data)
    lists = round(args.lists_factor * data.rows ** 0.5)
    print(f"\n{name}: {data.rows:,} x {data.dims}, lists={lists}, {len(data.queries)} queries, "
          f"load average {os.getloadavg()[0]:.1f}")
    tables = []
    for size in args.chunk_sizes.split(","):
        option = "" if size == "default" else f", chunk_size={size}"
        path = os.path.join(args.data_dir, f"{name}-chunks-{size}.db")
        t = ann_bench.JixTable(path, args.extension, data, f" index=ivf lists={lists}{option}",
                               65536)
        build = t.build_index()
        rows = t.db.execute("SELECT size FROM t_chunks LIMIT 1").fetchone()[0]
        chunks = t.db.execute("SELECT count(*) FROM t_chunks").fetchone()[0]
        tables.append((size, rows, chunks, build, t))
    blobs = tables[0][4].blobs()
    print("| probes | chunk_size | rows per chunk | KiB per chunk | chunks | recall@10 | QPS | "
          "file MiB | build CPU s |")
    print("|---|---|---|---|---|---|---|---|---|")
    for probes in (int(x) for x in args.probes.split(",")):
        searches = [t.search(" AND probes = ?", probes) for *_, t in tables]
        for s in searches:
            for b in blobs:
                s(b)  # every page cached and mapped before timing
        least = np.full((len(tables), len(blobs)), np.inf)
        answers = [[None] * len(blobs) for _ in tables]
        for _ in range(args.runs):
            for i, b in enumerate(blobs):
                for j, s in enumerate(searches):
                    start = time.thread_time_ns()
                    found = s(b)
                    least[j, i] = min(least[j, i], time.thread_time_ns() - start)
                    answers[j][i] = found
        for j, (size, rows, chunks, build, t) in enumerate(tables):
            qps = len(blobs) / (least[j].sum() * 1e-9)
            kib = rows * 4 * data.dims / 1024
            print(f"| {probes} | {size} | {rows} | {kib:.0f} | {chunks:,} | "
                  f"{truth.recall(answers[j]):.3f} | {qps:,.0f} | "
                  f"{t.bytes_in_use() / 2**20:.1f} | {build:.1f} |", flush=True)
    for *_, t in tables:
        t.close()


if __name__ == "__main__":
    main()
