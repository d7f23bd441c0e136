#!/usr/bin/python3
"""IVF search with and without the build's codes, side by side in one process, one thread.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE bench/ivf_codes_bench.py EXTENSION DATA_DIR
        [--runs N] [--cache-bytes N] [--probes 1,2,...] [--before OLD_EXTENSION]
        [--set fashion|clustered]

fashion-mnist (60,000 x 784, L2, the first 200 test images as queries, k = 10) is loaded
once into a table declared with index=ivf and built at its default lists. The file is then
copied and the copy loses its codes (its codes map and codes rows deleted), which is how a
table built before codes answers: every candidate's float32 vector is read. Each probes
value runs on both tables in turn, with the resident chunk cache off and then at
--cache-bytes. QPS and recall@10 as bench/ann_bench.py measures them (thread CPU time, the
least of --runs passes).

--before adds a third column: the table with codes searched through an earlier build's
extension (an earlier way of choosing the lists), and for each the share of queries that read
the lists nearest by exact distance (ExactLists; L2 tables only).
--set clustered searches 100,000 x 128 rows of 1,000 Gaussian clusters at 1,000 lists.
"""
import argparse
import os
import shutil
import sqlite3
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ann_bench as ab  # noqa: E402
import numpy as np  # noqa: E402


def connect(path, extension, data):
    db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    db.enable_load_extension(True)
    db.load_extension(extension)
    file_bytes = 4 * data.rows * data.dims * 3
    db.execute(f"PRAGMA cache_size = -{file_bytes // 1024 + 1}")
    db.execute(f"PRAGMA mmap_size = {file_bytes}")
    return db


def search(db, probes):
    sql = f"SELECT rowid, distance FROM t WHERE v MATCH ? AND k = {ab.K} AND probes = {probes}"
    return lambda blob: [r[0] - 1 for r in db.execute(sql, (blob,)).fetchall()]


class ExactLists:
    """Per query, the lists nearest by exact centroid distance (ties to the lower list), and
    whether a search at probes reads just those: asked for k = every row of them, a search
    that reads them returns those rows; one that reads others returns rows of another list
    (or widens, when the others hold fewer rows)."""

    def __init__(self, db, data):
        found = db.execute("SELECT list, centroid FROM t_ivfcentroids ORDER BY list").fetchall()
        c = np.array([np.frombuffer(blob, dtype=np.float32) for _, blob in found], np.float64)
        q = data.queries.astype(np.float64)
        d = (c * c).sum(axis=1)[None, :] - 2 * q @ c.T
        self.order = np.argsort(d, axis=1, kind="stable")
        self.list_of = dict(db.execute(
            "SELECT r.rowid, c.list FROM t_rowids r JOIN t_chunks c ON c.chunk_id = r.chunk_id"))
        self.sizes = np.bincount(list(self.list_of.values()), minlength=len(found))

    def share(self, db, blobs, probes):
        same = asked = 0
        for i, blob in enumerate(blobs):
            nearest = set(self.order[i, :probes].tolist())
            k = int(self.sizes[list(nearest)].sum())
            if k > 4096:
                continue
            sql = f"SELECT rowid FROM t WHERE v MATCH ? AND k = {k} AND probes = {probes}"
            read = {self.list_of[r[0]] for r in db.execute(sql, (blob,))}
            same += read == nearest
            asked += 1
        return same / max(asked, 1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("extension")
    parser.add_argument("data_dir")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cache-bytes", type=int, default=512 * 1024 * 1024)
    parser.add_argument("--probes", default="1,2,3,4,6,8,12,16,24,32")
    parser.add_argument("--before")
    parser.add_argument("--set", default="fashion", choices=("fashion", "clustered"))
    args = parser.parse_args()
    if args.set == "fashion":
        data, words = ab.fashion(*ab.SIZES["fashion"][:1], ab.QUERIES[0]), " index=ivf"
    else:
        data, words = ab.clustered(ab.SIZES["clustered"][0], ab.QUERIES[0]), " index=ivf lists=1000"
    truth = ab.Truth(data)
    path = os.path.join(args.data_dir, "fashion-codes.db")
    table = ab.JixTable(path, args.extension, data, words, 65536)
    build = table.build_index()
    lists = table.db.execute("SELECT count(*) FROM t_ivfcentroids").fetchone()[0]
    table.db.close()
    plain = os.path.join(args.data_dir, "fashion-plain.db")
    shutil.copyfile(path, plain)
    db = connect(plain, args.extension, data)
    db.execute("DELETE FROM t_info WHERE key = 'IVF_CODES'")
    db.execute("DELETE FROM t_ivfcodes")
    db.close()
    tables = {"vectors": connect(plain, args.extension, data),
              "codes": connect(path, args.extension, data)}
    if args.before:
        tables["before"] = connect(path, args.before, data)
        exact = ExactLists(tables["codes"], data)
    blobs = [q.tobytes() for q in data.queries]
    print(f"{args.set}, {lists} lists, build {build:.1f} s CPU (codes included)")
    for cache in (0, args.cache_bytes):
        for db in tables.values():
            db.execute(f"SELECT jix_cache_size({cache})")
            every = search(db, lists)
            for blob in blobs:
                every(blob)  # maps every page (and fills the cache) before timing
        print(f"jix_cache_size({cache})")
        head = f"{'probes':>6} {'recall':>8} {'QPS':>8} | {'recall':>8} {'QPS':>8} {'x':>6}"
        if args.before:
            head += f" | before: {'recall':>8} {'QPS':>8} {'new/old':>7} | exact lists: new  before"
        print(head)
        for probes in [int(p) for p in args.probes.split(",")]:
            row = []
            for db in tables.values():
                answers, qps, _ = ab.timed_queries(search(db, probes), blobs, args.runs)
                row += [truth.recall(answers), qps]
            line = (f"{probes:>6} {row[0]:>8.4f} {row[1]:>8,.0f} | {row[2]:>8.4f} {row[3]:>8,.0f} "
                    f"{row[3] / row[1]:>6.2f}")
            if args.before:
                line += (f" | {'':>7} {row[4]:>8.4f} {row[5]:>8,.0f} {row[3] / row[5]:>7.2f} | "
                         f"{'':>12}{exact.share(tables['codes'], blobs, probes):.3f} "
                         f"{exact.share(tables['before'], blobs, probes):.3f}")
            print(line, flush=True)
    for name in (path, plain):
        os.remove(name)


if __name__ == "__main__":
    main()
