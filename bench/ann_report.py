#!/usr/bin/python3
"""Turns DATA_DIR/ann.json (from bench/ann_bench.py) into a CSV of every point, a chart per data
set and the approximate-search section of RESULTS.md.

    bench/ann_report.py DATA_DIR bench/RESULTS.md OUT_DIR

Writes OUT_DIR/ann_points.csv and OUT_DIR/ann_<set>.png. The section starts at the heading
below and ends at the next second-level heading; it replaces an earlier one, or goes before
the IVF section (which runs to the end of the file), or at the end.
"""
import csv
import json
import os
import subprocess
import sys

from report import cpu_name, git_revision

HEADING = "## Approximate search against in-memory indexes"
NEXT_HEADING = "## IVF index"
LEVELS = (0.90, 0.95, 0.99)
COLUMNS = ("set", "system", "params", "recall", "qps", "build_s", "file_bytes",
           "bytes_read_per_query")
SET_NAMES = {"fashion": "fashion-mnist", "clustered": "clustered", "cosine": "cosine"}


def best(points, level):
    """The point with the highest QPS among those with recall >= level, or None."""
    found = [p for p in points if p["recall"] >= level]
    return max(found, key=lambda p: p["qps"]) if found else None


def by_system(points):
    systems = {}
    for p in points:
        systems.setdefault(p["system"], []).append(p)
    return systems


def write_csv(sets, path):
    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(COLUMNS)
        for name, s in sets.items():
            for p in s["points"]:
                row = {**p, "set": name}
                out.writerow(["" if row[c] is None else
                              f"{row[c]:.6g}" if isinstance(row[c], float) else row[c]
                              for c in COLUMNS])


def chart(name, s, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7.5, 4.8))
    for system, points in by_system(s["points"]).items():
        style = "-" if system.startswith("jix") else "--"  # points in sweep order
        ax.plot([p["recall"] for p in points], [p["qps"] for p in points], style,
                marker="o" if len(points) == 1 else ".", label=system)
    ax.set_yscale("log")
    ax.set_xlim(left=max(0.5, min(p["recall"] for p in s["points"]) - 0.02), right=1.005)
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries per second of CPU time (one thread)")
    ax.set_title(f"{SET_NAMES.get(name, name)}: {s['rows']:,} × {s['dims']}, {s['metric']}, "
                 f"{s['queries']} queries")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="x-small", loc="lower left")
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def qps_cell(point):
    if not point:
        return "–"
    return f"{point['qps']:,.0f}" + (f" ({point['params']})" if point["params"] else "")


def size_text(n):
    return f"{n / 1048576:,.1f} MiB" if n is not None else "–"


def read_cell(s, point):
    if not point or point.get("bytes_read_per_query") is None:
        return "–"
    share = point["bytes_read_per_query"] / (4.0 * s["rows"] * s["dims"])
    return f"{point['bytes_read_per_query'] / 1024:,.0f} KiB ({share:.1%})"


def set_table(s):
    rows = ["| system | QPS at recall@10 ≥ 0.90 | ≥ 0.95 | ≥ 0.99 | best recall | build (CPU) "
            "| file or index size | float32 read per query at ≥ 0.95 |",
            "|---|---|---|---|---|---|---|---|"]
    systems = by_system(s["points"])
    order = sorted(systems, key=lambda n: -(best(systems[n], 0.95) or {"qps": 0})["qps"])
    for system in order:
        points = systems[system]
        top = [best(points, level) for level in LEVELS]
        build = points[0]["build_s"]
        rows.append(f"| {system} | " + " | ".join(qps_cell(p) for p in top) +
                    f" | {max(p['recall'] for p in points):.4f} | "
                    f"{f'{build:.1f} s' if build else '–'} | {size_text(points[0]['file_bytes'])}"
                    f" | {read_cell(s, top[1])} |")
    return rows


def jix_default(systems):
    """Among jix's IVF systems at the default list count, the point of highest QPS at level."""
    points = [p for n, ps in systems.items() if n.startswith("jix IVF") and "(default)" in n
              for p in ps]
    return lambda level: best(points, level)


def targets(name, s):
    """The goals measurable here, each as a line of text."""
    systems = by_system(s["points"])
    jix = jix_default(systems)
    hnsw = [p for n, ps in systems.items() if n.startswith("hnswlib") for p in ps]
    label = SET_NAMES.get(name, name)
    out = []
    wanted = ((0.95, 1.0), (0.99, 1.0)) if name == "fashion" else ((0.95, 0.8),)
    for level, factor in wanted:
        mine, theirs = jix(level), best(hnsw, level)
        if not hnsw:
            break  # hnswlib did not run
        if mine and theirs:
            ratio = mine["qps"] / theirs["qps"]
            out.append(f"{label}: jix (default lists) at recall ≥ {level}: {mine['qps']:,.0f} "
                       f"QPS, {ratio:.2f}× hnswlib's {theirs['qps']:,.0f} (goal ≥ {factor}×): "
                       + ("met" if ratio >= factor else "**missed**"))
        else:
            out.append(f"{label}: recall ≥ {level} not reached by jix or hnswlib: **missed**")
    mine = jix(0.95)
    if mine:
        size = mine["file_bytes"] / s["file_bytes_without_index"]
        out.append(f"{label}: file with the index {size:.3f}× without (goal ≤ 1.15×): " +
                   ("met" if size <= 1.15 else "**missed**"))
        share = mine["bytes_read_per_query"] / (4.0 * s["rows"] * s["dims"])
        out.append(f"{label}: float32 read per query at recall ≥ 0.95: {share:.2%} of the "
                   "table (goal ≤ 2%): " + ("met" if share <= 0.02 else "**missed**"))
        if hnsw:
            out.append(f"{label}: `build-index` {mine['build_s']:.1f} s CPU, hnswlib "
                       f"{hnsw[0]['build_s']:.1f} s (goal ≤): " +
                       ("met" if mine["build_s"] <= hnsw[0]["build_s"] else "**missed**"))
    return out


def package_version(name):
    try:
        return subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "?"


def section(data, out_dir):
    runtime, sets = data["runtime"], data["sets"]
    size = "full-size sets (`ANN_ARGS=--full`)" if runtime["full"] else "default size"
    text = [
        HEADING,
        "",
        f"`make bench-ann` ({size}) on {runtime['date']}, commit {git_revision()}: {cpu_name()}, "
        f"{os.cpu_count()} cores shared with other jobs, Python {runtime['python']}'s SQLite "
        f"{runtime['sqlite']}, hnswlib {package_version('python3-hnswlib')} and FAISS "
        f"{runtime['faiss']} (Debian's builds), NumPy {runtime['numpy']}. Every system in one "
        "process, one thread, one query at a time, k = 10. QPS is the number of queries over "
        "the sum of each query's CPU time on the querying thread (the Python call included, "
        f"for every system; each query's least of {runtime.get('runs', 1)} passes); "
        "recall@10 counts returned rows within the exact tenth distance. jix runs through "
        "Python's sqlite3 with "
        f"{runtime['page_size'] // 1024} KiB pages and a page cache and memory map larger than "
        "the file; its IVF tables at the list count a build picks (default) and at 2 and 4 × "
        "√rows lists, FAISS's IVFFlat at the same counts; hnswlib and FAISS HNSW with M = 16, "
        "ef_construction = 200. Build times are CPU time (jix: `build-index` after loading; "
        "FAISS IVF: training and adding). Sizes: the jix file's pages in use, the libraries' "
        "serialized indexes (vectors included). Each cell gives the best QPS at that recall and "
        "the setting that reached it. Data sets: see bench/ann_bench.py. Every point is in "
        "[ann_points.csv](ann_points.csv).",
        "",
    ]
    for name, s in sets.items():
        label = SET_NAMES.get(name, name)
        load = " → ".join(f"{a[0]:.2f}" for a in (s["load_average_before"],
                                                   s["load_average_after"]))
        text += [f"### {label}: {s['rows']:,} × {s['dims']}, {s['metric']}, "
                 f"{s['queries']} queries", "",
                 f"![{label}: recall@10 against QPS](ann_{name}.png)", "",
                 f"jix table without index: {size_text(s['file_bytes_without_index'])}, loaded "
                 f"in one transaction in {s['load_cpu_s']:.1f} s CPU. Load average (1 minute) "
                 f"{load}.", ""] + set_table(s) + [""]
    text += ["### Goals", ""]
    for name, s in sets.items():
        text += [f"- {line}" for line in targets(name, s)]
    return text


def current(text):
    """The section as it stands in text (ending in a newline), or "" when there is none."""
    at = text.find(HEADING)
    if at < 0:
        return ""
    end = text.find("\n## ", at + len(HEADING))
    return text[at:end + 1] if end >= 0 else text[at:].rstrip("\n") + "\n"


def splice(old, new):
    """old with its section replaced by new, or new put before the IVF section or at the end."""
    at = old.find(HEADING)
    if at >= 0:
        rest = old[at + len(current(old)):].lstrip("\n")
        return old[:at] + new + ("\n" + rest if rest else "")
    at = old.find(NEXT_HEADING)
    if at >= 0:
        return old[:at] + new + "\n" + old[at:]
    return old.rstrip("\n") + ("\n\n" if old.strip() else "") + new


def main():
    directory, out_md, out_dir = sys.argv[1:4]
    with open(os.path.join(directory, "ann.json")) as f:
        data = json.load(f)
    write_csv(data["sets"], os.path.join(out_dir, "ann_points.csv"))
    for name, s in data["sets"].items():
        chart(name, s, os.path.join(out_dir, f"ann_{name}.png"))
    text = "\n".join(section(data, out_dir)) + "\n"
    old = ""
    if os.path.exists(out_md):
        with open(out_md) as f:
            old = f.read()
    with open(out_md, "w") as f:
        f.write(splice(old, text))
    print(text)


if __name__ == "__main__":
    main()
