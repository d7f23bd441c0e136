#!/usr/bin/python3
"""Approximate KNN through SQL against in-memory ANN libraries: recall@10 against QPS.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE bench/ann_bench.py EXTENSION DATA_DIR
        [--full] [--sets fashion,clustered,cosine] [--queries N] [--scale S] [--lists-factors 2,4]
        [--systems hnswlib,faiss-hnsw,faiss-ivf] [--runs N] [--page-size BYTES]
        [--codes WORDS] [--rerank COLUMN=V1,V2,...] [--jix-cache-bytes N]

Every system runs in this one process, on one thread, one query at a time, k = 10:
  - jix exact: the table without an index (its file is the "without index" size);
  - jix IVF: `index=ivf` at the list count a build picks by itself and at `lists` =
    f x round(sqrt(rows)) for each further factor f, across a sweep of `probes`;
  - jix IVF with codes: only when --codes gives the declaration words that turn codes on
    (appended after `index=ivf`), optionally crossed with a hidden re-rank column's values;
  - hnswlib (M = 16, ef_construction = 200) across a sweep of ef;
  - FAISS HNSW (M = 16, efConstruction = 200; L2, also on the unit vectors of the cosine
    set) across a sweep of efSearch;
  - FAISS IVFFlat with the same list counts as jix across a sweep of nprobe.
jix runs through Python's sqlite3 with the extension loaded, 64 KiB pages, a page cache and a
memory map larger than the file, rows loaded in one transaction, then 'build-index'.

QPS is the number of queries over the sum of each query's CPU time on this thread
(time.thread_time_ns around the call that answers it, the least of --runs passes); recall@10
is the fraction of returned rows within the exact tenth-nearest distance (computed in double
precision from FAISS's brute-force candidates, so ties count as hits). Build time is CPU
time. Sweeps stop once recall reaches 0.999.

Data sets (default size / --full):
  fashion    Debian's dataset-fashion-mnist, 60,000 x 784 training images as floats 0..255,
             L2; the first 200 / 1,000 test images are the queries.
  clustered  100,000 / 1,000,000 x 128 from 1,000 Gaussian clusters, L2: centres uniform in
             [-1, 1)^128, per-cluster weights uniform in [0.5, 1.5), per-cluster standard
             deviations uniform in [0.1, 0.3); queries from the same mixture.
  cosine     50,000 / 200,000 x 384 from 2,000 clusters, cosine: centres are random unit
             vectors, a row is its centre plus normal noise (per-cluster standard deviation
             uniform in [0.02, 0.05) per coordinate), normalized; queries likewise.
Writes DATA_DIR/ann.json for bench/ann_report.py.
"""
import argparse
import gzip
import json
import os
import platform
import sqlite3
import sys
import time

import numpy as np
from threadpoolctl import threadpool_limits

import faiss
import hnswlib

K = 10
SWEEP_DONE = 0.999  # a sweep stops at the first point with at least this recall
PROBES = [1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 48, 64, 96, 128, 192, 256]
EF = [10, 12, 16, 20, 24, 32, 40, 48, 64, 80, 96, 128, 160, 192, 256, 384, 512, 768]
HNSW_M, HNSW_EF_CONSTRUCTION = 16, 200
FASHION_DIR = "/usr/share/datasets/fashion-mnist"
# rows at default size and with --full; queries likewise
SIZES = {"fashion": (60000, 60000), "clustered": (100000, 1000000), "cosine": (50000, 200000)}
QUERIES = (200, 1000)


class DataSet:
    def __init__(self, name, metric, vectors, queries):
        self.name, self.metric = name, metric
        self.vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        self.queries = np.ascontiguousarray(queries, dtype=np.float32)

    @property
    def rows(self):
        return self.vectors.shape[0]

    @property
    def dims(self):
        return self.vectors.shape[1]


def read_idx_images(path, limit):
    """An idx file of unsigned-byte images (magic 0x00000803), gzipped as Debian ships it."""
    with gzip.open(path, "rb") as f:
        raw = f.read()
    magic, count, height, width = np.frombuffer(raw[:16], dtype=">u4")
    if magic != 0x803:
        sys.exit(f"{path}: not an idx file of byte images")
    count = min(int(count), limit)
    pixels = np.frombuffer(raw[16:16 + count * height * width], dtype=np.uint8)
    return pixels.reshape(count, height * width).astype(np.float32)


def fashion(rows, queries):
    try:
        train = read_idx_images(os.path.join(FASHION_DIR, "train-images-idx3-ubyte.gz"), rows)
        test = read_idx_images(os.path.join(FASHION_DIR, "t10k-images-idx3-ubyte.gz"), queries)
    except FileNotFoundError as e:
        sys.exit(f"{e} (install dataset-fashion-mnist)")
    return DataSet("fashion", "l2", train, test)


def mixture(clusters, dims, seed, centre, sigma_range):
    """Returns sample(count, seed): rows drawn from weighted Gaussian clusters around centres."""
    rng = np.random.default_rng(seed)
    centres = centre(rng, clusters, dims)
    weights = 0.5 + rng.random(clusters)
    sigma = rng.uniform(*sigma_range, size=clusters).astype(np.float32)

    def sample(count, sample_seed):
        r = np.random.default_rng(sample_seed)
        pick = r.choice(clusters, size=count, p=weights / weights.sum())
        noise = r.standard_normal((count, dims), dtype=np.float32)
        return centres[pick] + noise * sigma[pick, None]
    return sample


def clustered(rows, queries):
    sample = mixture(1000, 128, 7001, lambda r, c, d: r.uniform(-1, 1, (c, d)).astype(np.float32),
                     (0.1, 0.3))
    return DataSet("clustered", "l2", sample(rows, 7002), sample(queries, 7003))


def unit_rows(x):
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def cosine(rows, queries):
    sample = mixture(2000, 384, 9001,
                     lambda r, c, d: unit_rows(r.standard_normal((c, d))).astype(np.float32),
                     (0.02, 0.05))
    return DataSet("cosine", "cosine", unit_rows(sample(rows, 9002)),
                   unit_rows(sample(queries, 9003)))


class Truth:
    """The exact answer's tenth distance per query, and distances of any returned row."""

    def __init__(self, data):
        self.data = data
        flat = (faiss.IndexFlatL2 if data.metric == "l2" else faiss.IndexFlatIP)(data.dims)
        flat.add(data.vectors)
        _, candidates = flat.search(data.queries, 2 * K)  # float32; re-ranked in double below
        self.kth = np.array([np.sort(self.distances(q, c))[K - 1]
                             for q, c in enumerate(candidates)])

    def distances(self, q, ids):
        rows = self.data.vectors[np.asarray(ids, dtype=np.int64)].astype(np.float64)
        query = self.data.queries[q].astype(np.float64)
        if self.data.metric == "l2":
            return np.sqrt(((rows - query) ** 2).sum(axis=1))
        return 1.0 - rows @ query / (np.linalg.norm(rows, axis=1) * np.linalg.norm(query))

    def recall(self, answers):
        found = 0
        for q, ids in enumerate(answers):
            ids = [i for i in ids if i >= 0][:K]
            if ids:
                d = self.distances(q, ids)
                found += int((d <= self.kth[q] * (1 + 1e-6) + 1e-9).sum())
        return found / (K * len(answers))


def timed_queries(search, queries, runs):
    """(answers, QPS, process/thread CPU ratio): QPS is the query count over the sum of each
    query's least thread CPU time in `runs` passes, which keeps bursts of other work on a
    shared machine out of the figure."""
    for q in queries[:3]:
        search(q)  # warm-up
    answers, least = [], [None] * len(queries)
    process, spent = time.process_time_ns(), 0
    for run in range(runs):
        for i, q in enumerate(queries):
            start = time.thread_time_ns()
            found = search(q)
            took = time.thread_time_ns() - start
            spent += took
            least[i] = took if run == 0 else min(least[i], took)
            if run == 0:
                answers.append(found)
    process = time.process_time_ns() - process
    return answers, len(queries) / (sum(least) * 1e-9), process / max(spent, 1)


def cpu_seconds(work):
    """Runs work(); returns (its result, the process's CPU seconds, which other threads add to)."""
    start = time.process_time()
    result = work()
    return result, time.process_time() - start


class Run:
    """Collects the points of one data set and prints each as it comes."""

    def __init__(self, data, truth, runs):
        self.data, self.truth, self.runs, self.points = data, truth, runs, []

    def sweep(self, system, values, search, extra, inputs, label=None):
        """search(value) -> a function answering one of inputs (the queries in the form the
        system takes); extra: the fields every point shares, or a function of the value giving
        them; label: the format of the point's parameters."""
        for value in values:
            answers, qps, ratio = timed_queries(search(value), inputs, self.runs)
            point = {"system": system, "params": label.format(value) if label else "",
                     "recall": self.truth.recall(answers), "qps": qps}
            point.update(extra(value) if callable(extra) else extra)
            self.points.append(point)
            note = f" (process CPU {ratio:.2f}x the query thread's)" if ratio > 1.1 else ""
            print(f"[{self.data.name}] {system} {point['params']}: recall {point['recall']:.4f}, "
                  f"{qps:,.0f} QPS{note}", file=sys.stderr, flush=True)
            if point["recall"] >= SWEEP_DONE:
                break


class JixTable:
    """A jix0 table in its own database file, on a connection set up as the README advises."""

    def __init__(self, path, extension, data, column_words, page_size, cache_bytes=0):
        if os.path.exists(path):
            os.remove(path)
        self.path, self.data = path, data
        self.db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        self.db.enable_load_extension(True)
        self.db.load_extension(extension)
        file_bytes = 4 * data.rows * data.dims * 3
        self.db.execute(f"PRAGMA page_size = {page_size}")
        # The resident chunk cache (README): 0 leaves it off.
        self.db.execute(f"SELECT jix_cache_size({cache_bytes})")
        self.db.execute(f"PRAGMA cache_size = -{file_bytes // 1024 + 1}")
        self.db.execute(f"PRAGMA mmap_size = {file_bytes}")
        metric = " distance_metric=cosine" if data.metric == "cosine" else ""
        self.db.execute(f"CREATE VIRTUAL TABLE t USING jix0(v float[{data.dims}]{metric}"
                        f"{column_words})")
        self.load_s = self.load()

    def load(self):
        rows = ((i + 1, v.tobytes()) for i, v in enumerate(self.data.vectors))
        start = time.process_time()
        self.db.execute("BEGIN")
        self.db.executemany("INSERT INTO t(rowid, v) VALUES (?, ?)", rows)
        self.db.execute("COMMIT")
        return time.process_time() - start

    def build_index(self):
        _, spent = cpu_seconds(lambda: self.db.execute("INSERT INTO t(t) VALUES ('build-index')"))
        return spent

    def bytes_in_use(self):
        one = lambda sql: self.db.execute(sql).fetchone()[0]  # noqa: E731
        return (one("PRAGMA page_count") - one("PRAGMA freelist_count")) * one("PRAGMA page_size")

    def search(self, extra_sql="", *values):
        """Answers a query given as its float32 BLOB (see blobs()); rowids are row + 1."""
        sql = f"SELECT rowid, distance FROM t WHERE v MATCH ? AND k = {K}{extra_sql}"
        execute = self.db.execute
        return lambda blob: [r[0] - 1 for r in execute(sql, (blob, *values)).fetchall()]

    def blobs(self):
        return [q.tobytes() for q in self.data.queries]

    def close(self):
        self.db.close()
        os.remove(self.path)


class ProbeReads:
    """Bytes of float32 vectors an IVF query reads at each probe count: the rows of the lists
    whose centroids are nearest the query (ties by list number) plus the rows in no list."""

    def __init__(self, data, centroids, sizes, unlisted):
        c = np.asarray(centroids, dtype=np.float64)
        q = data.queries.astype(np.float64)
        if data.metric == "l2":
            order = np.argsort((c * c).sum(axis=1)[None, :] - 2 * q @ c.T, axis=1, kind="stable")
        else:
            c = unit_rows(c)
            order = np.argsort(-(q @ c.T), axis=1, kind="stable")
        self.rows = np.cumsum(np.asarray(sizes)[order], axis=1) + unlisted
        self.width = 4 * data.dims

    def __call__(self, probes):
        return float(self.rows[:, min(probes, self.rows.shape[1]) - 1].mean() * self.width)

    @classmethod
    def of_jix(cls, table):
        db = table.db
        counts = dict(db.execute("SELECT c.list, count(*) FROM t_rowids r JOIN t_chunks c "
                                 "ON c.chunk_id = r.chunk_id GROUP BY c.list"))
        found = db.execute("SELECT list, centroid FROM t_ivfcentroids ORDER BY list").fetchall()
        centroids = [np.frombuffer(blob, dtype=np.float32) for _, blob in found]
        sizes = [counts.get(lists, 0) for lists, _ in found]
        return cls(table.data, centroids, sizes, counts.get(None, 0))

    @classmethod
    def of_faiss(cls, data, index, quantizer):
        sizes = [index.invlists.list_size(i) for i in range(index.nlist)]
        return cls(data, quantizer.reconstruct_n(0, index.nlist), sizes, 0)


class Systems:
    """Runs every system on one data set; list counts found by jix's builds feed FAISS's IVF."""

    def __init__(self, args, data, run, meta):
        self.args, self.data, self.run, self.meta = args, data, run, meta
        self.list_counts = []

    def path(self, name):
        return os.path.join(self.args.data_dir, f"{self.data.name}-{name}.db")

    def table(self, name, words):
        return JixTable(self.path(name), self.args.extension, self.data, words,
                        self.args.page_size, self.args.jix_cache_bytes)

    def jix_exact(self):
        table = self.table("exact", "")
        size = table.bytes_in_use()
        self.meta.update(load_cpu_s=table.load_s, file_bytes_without_index=size)
        extra = {"build_s": 0.0, "file_bytes": size,
                 "bytes_read_per_query": 4.0 * self.data.rows * self.data.dims}
        self.run.sweep("jix exact", [None], lambda _: table.search(), extra, table.blobs())
        table.close()

    def jix_ivf(self, lists, codes="", rerank=(None, [None])):
        words = " index=ivf" + (f" lists={lists}" if lists else "") + codes
        table = self.table(f"ivf{lists or ''}", words)
        build = table.build_index()
        count = table.db.execute("SELECT count(*) FROM t_ivfcentroids").fetchone()[0]
        self.list_counts.append(count)
        system = f"jix IVF{' codes' if codes else ''} lists={count}"
        system += "" if lists else " (default)"
        reads, size = ProbeReads.of_jix(table), table.bytes_in_use()
        extra = lambda p: {"build_s": build, "file_bytes": size,  # noqa: E731
                           "bytes_read_per_query": reads(p)}
        probes = [p for p in PROBES if p < count] + [count]
        every = table.search(" AND probes = ?", count)
        for blob in table.blobs():
            every(blob)  # maps and caches every page before the first timed sweep
        column, values = rerank
        for value in values:
            sql = " AND probes = ?" + (f" AND {column} = {value}" if column else "")
            label = "probes={}" + (f" {column}={value}" if column else "")
            self.run.sweep(system, probes, lambda p: table.search(sql, p), extra, table.blobs(),
                           label)
        table.close()

    def hnswlib(self):
        d = self.data
        index = hnswlib.Index(space="l2" if d.metric == "l2" else "cosine", dim=d.dims)
        index.init_index(max_elements=d.rows, M=HNSW_M, ef_construction=HNSW_EF_CONSTRUCTION,
                         random_seed=100)
        index.set_num_threads(1)
        _, build = cpu_seconds(lambda: index.add_items(d.vectors, np.arange(d.rows),
                                                       num_threads=1))
        path = self.path("hnswlib")
        index.save_index(path)
        size = os.path.getsize(path)
        os.remove(path)

        def search(ef):
            index.set_ef(ef)
            return lambda q: index.knn_query(q, k=K)[0][0]
        extra = {"build_s": build, "file_bytes": size, "bytes_read_per_query": None}
        self.run.sweep(f"hnswlib M={HNSW_M}", [e for e in EF if e >= K], search, extra,
                       list(d.queries), "ef={}")

    def faiss_hnsw(self):
        d = self.data
        # The cosine set's rows are unit vectors, on which L2 orders neighbours as cosine does
        # (its build by inner product took as long: 348 s of CPU against 310 s by L2).
        index = faiss.IndexHNSWFlat(d.dims, HNSW_M)
        index.hnsw.efConstruction = HNSW_EF_CONSTRUCTION
        _, build = cpu_seconds(lambda: index.add(d.vectors))
        size = faiss.serialize_index(index).nbytes

        def search(ef):
            index.hnsw.efSearch = ef
            return lambda q: index.search(q, K)[1][0]
        extra = {"build_s": build, "file_bytes": size, "bytes_read_per_query": None}
        self.run.sweep(f"FAISS HNSW M={HNSW_M}", [e for e in EF if e >= K], search, extra,
                       list(d.queries[:, None, :]), "efSearch={}")

    def faiss_ivf(self, nlist):
        d = self.data
        quantizer = (faiss.IndexFlatL2 if d.metric == "l2" else faiss.IndexFlatIP)(d.dims)
        metric = faiss.METRIC_L2 if d.metric == "l2" else faiss.METRIC_INNER_PRODUCT
        index = faiss.IndexIVFFlat(quantizer, d.dims, nlist, metric)
        _, build = cpu_seconds(lambda: (index.train(d.vectors), index.add(d.vectors)))
        size = faiss.serialize_index(index).nbytes
        reads = ProbeReads.of_faiss(d, index, quantizer)

        def search(p):
            index.nprobe = p
            return lambda q: index.search(q, K)[1][0]
        extra = lambda p: {"build_s": build, "file_bytes": size,  # noqa: E731
                           "bytes_read_per_query": reads(p)}
        probes = [p for p in PROBES if p < nlist] + [nlist]
        self.run.sweep(f"FAISS IVFFlat nlist={nlist}", probes, search, extra,
                       list(d.queries[:, None, :]), "nprobe={}")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("extension")
    p.add_argument("data_dir")
    p.add_argument("--full", action="store_true", help="full-size sets and 1,000 queries")
    p.add_argument("--sets", default="fashion,clustered,cosine")
    p.add_argument("--queries", type=int, help="queries per set (default 200, --full 1,000)")
    p.add_argument("--scale", type=float, default=1.0, help="rows of the generated sets x S")
    p.add_argument("--lists-factors", default="2,4",
                   help="jix and FAISS IVF at lists = f x round(sqrt(rows)) besides the default")
    p.add_argument("--systems", default="hnswlib,faiss-hnsw,faiss-ivf",
                   help="the peers to run beside jix")
    p.add_argument("--runs", type=int, default=2, help="passes over the queries at each "
                   "setting; each query counts with its least CPU time")
    p.add_argument("--page-size", type=int, default=65536)
    p.add_argument("--jix-cache-bytes", type=int, default=0,
                   help="jix_cache_size(N) on the jix connections (default 0: off)")
    p.add_argument("--codes", default="", help="declaration words after index=ivf that turn "
                   "codes on; jix IVF with codes runs only when given")
    p.add_argument("--rerank", default="", help="COLUMN=V1,V2,...: a hidden re-rank column "
                   "and the values to sweep with --codes")
    return p.parse_args()


def load_data(name, args):
    rows = SIZES[name][1 if args.full else 0]
    queries = args.queries or QUERIES[1 if args.full else 0]
    if name == "fashion":
        return fashion(rows, queries)
    rows = max(1000, int(rows * args.scale))
    return (clustered if name == "clustered" else cosine)(rows, queries)


def run_set(name, args):
    meta = {"load_average_before": os.getloadavg()}
    data = load_data(name, args)
    meta.update(rows=data.rows, dims=data.dims, metric=data.metric, queries=len(data.queries))
    print(f"[{name}] {data.rows:,} x {data.dims} {data.metric}, {len(data.queries)} queries",
          file=sys.stderr, flush=True)
    run = Run(data, Truth(data), args.runs)
    systems = Systems(args, data, run, meta)
    wanted = args.systems.split(",")
    systems.jix_exact()
    lists = [None] + [round(f * data.rows ** 0.5) for f in
                      (float(x) for x in args.lists_factors.split(",") if x)]
    for count in lists:
        systems.jix_ivf(count)
    if args.codes:
        column, _, values = args.rerank.partition("=")
        rerank = (column, values.split(",")) if column else (None, [None])
        for count in lists:
            systems.jix_ivf(count, " " + args.codes, rerank)
    if "hnswlib" in wanted:
        systems.hnswlib()
    if "faiss-hnsw" in wanted:
        systems.faiss_hnsw()
    for count in systems.list_counts[:len(lists)] if "faiss-ivf" in wanted else []:
        systems.faiss_ivf(count)
    meta.update(load_average_after=os.getloadavg(), points=run.points)
    return meta


def main():
    args = parse_args()
    os.makedirs(args.data_dir, exist_ok=True)
    faiss.omp_set_num_threads(1)
    runtime = {"date": time.strftime("%Y-%m-%d"), "python": platform.python_version(),
               "sqlite": sqlite3.sqlite_version, "numpy": np.__version__,
               "faiss": faiss.__version__, "full": args.full, "page_size": args.page_size,
               "jix_cache_bytes": args.jix_cache_bytes,
               "codes": args.codes, "rerank": args.rerank, "runs": args.runs}
    sets = {}
    with threadpool_limits(limits=1):
        for name in args.sets.split(","):
            sets[name] = run_set(name, args)
    with open(os.path.join(args.data_dir, "ann.json"), "w") as f:
        json.dump({"runtime": runtime, "sets": sets}, f, indent=1)


if __name__ == "__main__":
    main()
