#!/usr/bin/python3
"""Turns DATA_DIR/ivf.json (from jix_ivf_bench) into the IVF section of RESULTS.md and a chart.

    bench/ivf_report.py DATA_DIR bench/RESULTS.md bench/ivf_recall.png

The section starts at the heading below and runs to the end of the file; it replaces an
earlier one or is appended, so the rest of RESULTS.md (written by report.py) stays.
"""
import datetime
import json
import os
import sys

from report import cpu_name, git_revision, ms, ratio

HEADING = "## IVF index"
EXACT_PROBES = "`probes = 1000000`"
# name: (description, recall target, speed-up target); D2 has none.
SETS = {
    "fashion": ("fashion-mnist", 0.95, 8.0),
    "clustered": ("clustered", 0.95, 20.0),
    "D2": ("D2 uniform", None, None),
}
BUILD_TARGET_S = {"fashion": 10.0, "clustered": 60.0, "D2": 60.0}
INSERT_TARGET = 2.0
SIZE_TARGET = 1.15


def label(name):
    return SETS.get(name, (name, None, None))[0]


def verdict(ok):
    return "met" if ok else "**missed**"


def mib(n):
    return f"{n / 1048576:.1f} MiB"


def per_row_us(seconds, rows):
    return f"{seconds / rows * 1e6:.1f} µs"


def tables(data):
    recall = ["| Set | Rows × dims | Lists | recall@10 | index k=10 median | p90 "
              "| exact, same table | speed-up | speed-up in CPU time "
              "| exact, table without index | target |",
              "|---|---|---|---|---|---|---|---|---|---|---|"]
    build = ["| Set | load, no index | load, indexed (before build) | `build-index` (CPU) "
             "| target (CPU) | insert per row, no index | insert per row, built index "
             "| ratio | in CPU time (≤ 2×) |",
             "|---|---|---|---|---|---|---|---|---|"]
    size = ["| Set | no index | indexed | ratio (≤ 1.15×) | file with free pages, indexed "
            "| ratio | chunks, no index / indexed | indexed with partition key (10 values) |",
            "|---|---|---|---|---|---|---|---|"]
    filters = ["| Set | Filter | exact median | index median | speed-up | recall@10 "
               "| fewest rows returned | queries short of the exact answer's rows |",
               "|---|---|---|---|---|---|---|---|"]
    sweep = ["| Set | probes | median | recall@10 | speed-up over exact | CPU time median "
             "| speed-up in CPU time |", "|---|---|---|---|---|---|---|"]
    verdicts = []
    for name, r in data.items():
        _, want_recall, want_speed = SETS.get(name, (name, None, None))
        speed = r["exact_median_s"] / r["ivf_median_s"]
        cpu_speed = r["exact_median_cpu_s"] / r["ivf_median_cpu_s"]
        if want_recall is None:
            target = "report only"
        else:
            ok = r["recall"] >= want_recall and speed >= want_speed
            target = f"≥ {want_recall} at ≥ {want_speed:.0f}×: {verdict(ok)}"
            verdicts.append(f"{label(name)} recall@10 {r['recall']:.4f}, {speed:.1f}× faster: "
                            f"{verdict(ok)}")
        recall.append(
            f"| {label(name)} | {int(r['rows']):,} × {int(r['dims'])} | {int(r['lists'])} "
            f"| {r['recall']:.4f} | {ms(r['ivf_median_s'])} ms | {ms(r['ivf_p90_s'])} ms "
            f"| {ms(r['exact_median_s'])} ms | {speed:.1f}× | {cpu_speed:.1f}× "
            f"| {ms(r['plain_exact_median_s'])} ms | {target} |")
        rows = r["insert_rows"]
        insert_ratio = r["ivf_insert_s"] / r["plain_insert_s"]
        insert_cpu_ratio = r["ivf_insert_cpu_s"] / r["plain_insert_cpu_s"]
        size_ratio = r["ivf_bytes"] / r["plain_bytes"]
        build_ok = r["build_cpu_s"] < BUILD_TARGET_S[name]
        build.append(
            f"| {label(name)} | {r['plain_load_s']:.2f} s | {r['ivf_load_s']:.2f} s "
            f"| {r['build_s']:.2f} s ({r['build_cpu_s']:.2f} s) "
            f"| < {BUILD_TARGET_S[name]:.0f} s: {verdict(build_ok)} "
            f"| {per_row_us(r['plain_insert_s'], rows)} | {per_row_us(r['ivf_insert_s'], rows)} "
            f"| {insert_ratio:.2f}× "
            f"| {insert_cpu_ratio:.2f}× {verdict(insert_cpu_ratio <= INSERT_TARGET)} |")
        size.append(
            f"| {label(name)} | {mib(r['plain_bytes'])} | {mib(r['ivf_bytes'])} "
            f"| {size_ratio:.3f}× {verdict(size_ratio <= SIZE_TARGET)} "
            f"| {mib(r['ivf_file_bytes'])} | {r['ivf_file_bytes'] / r['plain_file_bytes']:.2f}× "
            f"| {int(r['plain_chunks']):,} / {int(r['ivf_chunks']):,} "
            f"| {mib(r['partitioned_bytes'])}, {int(r['partitioned_chunks']):,} chunks "
            f"({r['partitioned_bytes'] / r['plain_bytes']:.2f}×) |")
        if name in ("fashion", "clustered"):
            verdicts.append(f"{label(name)} build-index {r['build_cpu_s']:.2f} s CPU "
                            f"({r['build_s']:.2f} s wall clock): {verdict(build_ok)}")
        verdicts.append(f"{label(name)} insert {insert_cpu_ratio:.2f}× the per-row CPU time "
                        f"without the index ({insert_ratio:.2f}× wall clock): "
                        f"{verdict(insert_cpu_ratio <= INSERT_TARGET)}")
        verdicts.append(f"{label(name)} file {size_ratio:.3f}× without the index: "
                        f"{verdict(size_ratio <= SIZE_TARGET)}")
        for prefix, what in (("metadata", "metadata `category = 3` (10%)"),
                             ("partition", "partition key `part = 3` (10%)")):
            short = int(r[f"{prefix}_short_answers"])
            filters.append(
                f"| {label(name)} | {what} | {ms(r[prefix + '_exact_median_s'])} ms "
                f"| {ms(r[prefix + '_ivf_median_s'])} ms "
                f"| {ratio(r[prefix + '_exact_median_s'], r[prefix + '_ivf_median_s'])} "
                f"| {r[prefix + '_recall']:.4f} | {int(r[prefix + '_fewest_rows'])} "
                f"| {short} {verdict(short == 0)} |")
            verdicts.append(f"{label(name)} {what}: {short} of {int(r['queries'])} queries "
                            f"short of k: {verdict(short == 0)}")
        for point in r["sweep"]:
            sweep.append(f"| {label(name)} | {point['probes']} | {ms(point['median_s'])} ms "
                         f"| {point['recall']:.4f} "
                         f"| {ratio(r['exact_median_s'], point['median_s'])} "
                         f"| {ms(point['median_cpu_s'])} ms "
                         f"| {ratio(r['exact_median_cpu_s'], point['median_cpu_s'])} |")
        sweep.append(f"| {label(name)} | default | {ms(r['ivf_median_s'])} ms "
                     f"| {r['recall']:.4f} | {speed:.1f}× | {ms(r['ivf_median_cpu_s'])} ms "
                     f"| {cpu_speed:.1f}× |")
        sweep.append(f"| {label(name)} | exact | {ms(r['exact_median_s'])} ms | 1.0000 | 1.0× "
                     f"| {ms(r['exact_median_cpu_s'])} ms | 1.0× |")
    return recall, build, size, filters, sweep, verdicts


def chart(data, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 4.8))
    for name, r in data.items():
        xs = [p["median_cpu_s"] * 1e3 for p in r["sweep"]]
        ys = [p["recall"] for p in r["sweep"]]
        line, = ax.plot(xs, ys, marker="o", markersize=4,
                        label=f"{label(name)} ({int(r['rows']):,} × {int(r['dims'])}, "
                              f"{int(r['lists'])} lists)")
        for p in r["sweep"]:
            ax.annotate(str(p["probes"]), (p["median_cpu_s"] * 1e3, p["recall"]), fontsize=7,
                        xytext=(3, -9), textcoords="offset points", color=line.get_color())
        ax.plot([r["ivf_median_cpu_s"] * 1e3], [r["recall"]], marker="*", markersize=13,
                color=line.get_color(), linestyle="none")
        ax.plot([r["exact_median_cpu_s"] * 1e3], [1.0], marker="s", markersize=7,
                markerfacecolor="none", color=line.get_color(), linestyle="none")
    ax.plot([], [], marker="*", color="gray", linestyle="none", markersize=10,
            label="default probes")
    ax.plot([], [], marker="s", color="gray", linestyle="none", markerfacecolor="none",
            label="exact search, same table")
    ax.axhline(0.95, color="gray", linewidth=0.8, linestyle=":")
    ax.set_xscale("log")
    ax.set_xlabel("CPU ms per query (median, k = 10, one thread); labels: probes")
    ax.set_ylabel("recall@10 against the exact search")
    ax.set_title("IVF index: recall against latency")
    ax.grid(True, which="both", linewidth=0.3)
    ax.legend(fontsize="small", loc="center left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    directory, out_md, out_png = sys.argv[1:4]
    with open(os.path.join(directory, "ivf.json")) as f:
        data = json.load(f)
    recall, build, size, filters, sweep, verdicts = tables(data)
    print("\n".join(recall + [""] + build + [""] + size + [""] + filters + [""] + sweep + [""]
                    + verdicts))
    first = next(iter(data.values()))
    loads = ", ".join(f"{label(n)} {r['load_before']} → {r['load_after']}"
                      for n, r in data.items())
    identical = all(r["exact_same_as_unindexed"] for r in data.values())
    section = [
        HEADING,
        "",
        f"`make bench-ivf` on {datetime.date.today()}, commit {git_revision()}: {cpu_name()}, "
        f"{os.cpu_count()} cores shared with other jobs (load averages over 1, 5, 15 minutes "
        f"at the start and end of each set: {loads}), single thread, SQLite's cache holding "
        f"the table. k = 10; {int(first['queries']):,} queries per set; every figure of a set "
        "comes from one run, the index against the exact search of the same table "
        f"({EXACT_PROBES}, which scans every list). Only the ratios within a set are meant to "
        "be compared: absolute times move with the load. Data sets: see bench/ivf_bench.cc.",
        "",
        f"![IVF recall against latency]({os.path.basename(out_png)})",
        "",
        "The chart plots the CPU time of the querying thread, which the other jobs on the "
        "machine disturb less than wall-clock time; the tables give both.",
        "",
        "### Recall and latency, default settings after one `build-index`",
        "",
    ] + recall + [
        "",
        "The exact search through the indexed table returned the same distances as the table "
        f"without the index (first 100 queries): {'yes' if identical else '**no**'}.",
        "",
        "### Build and insert",
        "",
        f"Inserts: {int(first['insert_rows']):,} more rows in one transaction into each table "
        "after its measurements (into the indexed table after `build-index`). Times are wall "
        "clock; CPU time (of the one thread) is what the work costs without the waits for a "
        "core on this shared machine, so the build and insert targets are judged on it (one "
        "10,000-row transaction takes well under a second, too short for a wall-clock ratio "
        "to mean much here).",
        "",
    ] + build + [
        "",
        "### Size",
        "",
        "Pages in use, (page_count − freelist_count) × page_size, after the same rows. "
        "`build-index` rewrites every row in one transaction, so until VACUUM the file also "
        "holds the pages the old chunks freed (\"file with free pages\").",
        "",
    ] + size + [
        "",
        "### Filtered queries",
        "",
        "On every query the exact filtered search finds at least k rows, so the index must "
        "return k; the partition-key table is a second indexed table with its own "
        "`build-index`.",
        "",
    ] + filters + [
        "",
        "### Probes",
        "",
    ] + sweep + [
        "",
        "### Targets",
        "",
    ] + [f"- {v}" for v in verdicts]
    text = ""
    if os.path.exists(out_md):
        with open(out_md) as f:
            text = f.read()
    at = text.find(HEADING)
    if at >= 0:
        text = text[:at]
    text = text.rstrip("\n") + ("\n\n" if text.strip() else "")
    with open(out_md, "w") as f:
        f.write(text + "\n".join(section) + "\n")
    chart(data, out_png)


if __name__ == "__main__":
    main()
