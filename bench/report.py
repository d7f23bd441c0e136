#!/usr/bin/python3
"""Turns DATA_DIR/jix.json and baselines.json into a table, a Markdown report and a chart.

    bench/report.py DATA_DIR bench/RESULTS.md bench/latency.png
"""
import datetime
import json
import os
import platform
import sqlite3
import subprocess
import sys


def ms(seconds):
    return "—" if seconds is None else f"{seconds * 1e3:.2f}"


def ratio(a, b):
    return "—" if a is None or b in (None, 0) else f"{a / b:.2f}×"


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def git_revision():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def tables(jix, base):
    query = ["| Set | Vectors | Memory pass | Blob-read floor | jix0 k=10 median | p90 "
             "| ÷ blob floor | ÷ memory pass | FAISS flat | NumPy | Identical to reference |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    more = ["| Set | k=10 | k=100 | k=1000 | k=1000 ÷ k=10 | k=10, table with metadata "
            "| metadata `=` | partition key | metadata ÷ unfiltered |",
            "|---|---|---|---|---|---|---|---|---|"]
    load = ["| Set | jix0 load | Ordinary table (insert floor) | ÷ floor "
            "| jix0 with partition key + metadata | per row (jix0) |",
            "|---|---|---|---|---|---|"]
    for name, r in jix.items():
        b = base.get(name, {}).get("1", {})
        faiss = b.get("faiss", {}).get("median_s")
        numpy = b.get("numpy", {}).get("median_s")
        shape = f"{r['rows']:,} × {r['dims']} {r['type']}"
        query.append(
            f"| {name} | {shape} | {ms(r['memory_pass_s'])} ms | {ms(r['blob_read_s'])} ms "
            f"| {ms(r['k10_median_s'])} ms | {ms(r['k10_p90_s'])} ms "
            f"| {ratio(r['k10_median_s'], r['blob_read_s'])} "
            f"| {ratio(r['k10_median_s'], r['memory_pass_s'])} "
            f"| {ms(faiss) + ' ms' if faiss else 'n/a'} | {ms(numpy)} ms "
            f"| {'yes' if r['identical_to_reference'] else '**no**'} |")
        more.append(
            f"| {name} | {ms(r['k10_median_s'])} ms | {ms(r['k100_s'])} ms | {ms(r['k1000_s'])} ms "
            f"| {ratio(r['k1000_s'], r['k10_median_s'])} | {ms(r['filtered_table_k10_s'])} ms "
            f"| {ms(r['metadata_eq_k10_s'])} ms | {ms(r['partition_k10_s'])} ms "
            f"| {ratio(r['metadata_eq_k10_s'], r['filtered_table_k10_s'])} |")
        load.append(
            f"| {name} | {r['load_jix0_s']:.2f} s | {r['load_plain_s']:.2f} s "
            f"| {ratio(r['load_jix0_s'], r['load_plain_s'])} "
            f"| {r['load_jix0_filtered_table_s']:.2f} s "
            f"| {r['load_jix0_s'] / r['rows'] * 1e6:.1f} µs |")
    memory = ["| Set | Rows | Bytes per vector | k=10 | k=1000 |", "|---|---|---|---|---|"]
    for name, r in jix.items():
        if "peak_query_bytes_k10" not in r:
            continue
        width = {"float": 4 * r["dims"], "int8": r["dims"]}.get(r["type"], r["dims"] // 8)
        memory.append(f"| {name} | {r['rows']:,} | {width:,} | {kib(r['peak_query_bytes_k10'])} "
                      f"| {kib(r['peak_query_bytes_k1000'])} |")
    return query, more, load, memory


def kernels_text(jix):
    """The kernel variants that ran, e.g. "avx512", from jix.json."""
    names = sorted({r["kernels"] for r in jix.values() if "kernels" in r})
    return ", ".join(names) or "not recorded"


def forced_table(forced, jix, base):
    """The sets run again with narrower kernels (DATA_DIR/avx2/jix.json) beside the first run."""
    lines = ["| Set | Kernels | jix0 k=10 median | ÷ memory pass | ÷ NumPy | k=1000 ÷ k=10 "
             "| Kernels (first run) | jix0 k=10 median | ÷ memory pass | ÷ NumPy |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for name, r in forced.items():
        first = jix.get(name)
        numpy = base.get(name, {}).get("1", {}).get("numpy", {}).get("median_s")
        row = (f"| {name} | {r.get('kernels', '?')} | {ms(r['k10_median_s'])} ms "
               f"| {ratio(r['k10_median_s'], r['memory_pass_s'])} "
               f"| {ratio(r['k10_median_s'], numpy) if numpy else 'n/a'} "
               f"| {ratio(r['k1000_s'], r['k10_median_s'])} ")
        if first:
            row += (f"| {first.get('kernels', '?')} | {ms(first['k10_median_s'])} ms "
                    f"| {ratio(first['k10_median_s'], first['memory_pass_s'])} "
                    f"| {ratio(first['k10_median_s'], numpy) if numpy else 'n/a'} |")
        else:
            row += "| n/a | | | |"
        lines.append(row)
    return lines


def threads_table(jix, base, cores):
    """jix0 at each PRAGMA threads next to NumPy and FAISS at one thread and at every core."""
    counts = sorted({int(key[len("k10_threads"):-2]) for r in jix.values() for key in r
                     if key.startswith("k10_threads") and key.endswith("_s")})
    head = "| Set | Blob-read floor |"
    for n in counts:
        head += f" jix0 threads = {n} | ÷ floor |"
    head += (f" NumPy 1 thread | FAISS 1 thread | NumPy {cores} threads | FAISS {cores} threads "
             "| Identical to reference |")
    rows = [head, "|---" * (7 + 2 * len(counts)) + "|"]
    for name, r in jix.items():
        b = base.get(name, {})
        floor = r.get("blob_read_beside_threads_s", r["blob_read_s"])
        line = f"| {name} | {ms(floor)} ms |"
        for n in counts:
            t = r.get(f"k10_threads{n}_s")
            line += f" {ms(t)} ms | {ratio(t, floor)} |"
        for threads, engine in (("1", "numpy"), ("1", "faiss"), (str(cores), "numpy"),
                                (str(cores), "faiss")):
            value = b.get(threads, {}).get(engine, {}).get("median_s")
            line += f" {ms(value) + ' ms' if value else 'n/a'} |"
        same = r.get("threads_identical_to_reference")
        line += f" {'—' if same is None else 'yes' if same else '**no**'} |"
        rows.append(line)
    return rows


def cache_table(runs, base):
    """The chunk cache (jix_cache_size) holding the table against NumPy, a memory pass timed
    beside it and the same queries without it, per query by thread CPU time; one row per set of
    each run (the first, then the forced one)."""
    rows = ["| Set | Kernels | k=10 uncached | k=10 cached | speed-up | memory pass beside "
            "| cached ÷ memory pass | NumPy `X @ q` | cached ÷ NumPy | k=1000 cached "
            "| k=1000 ÷ k=10 cached | Identical to reference |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for name, r in ((n, r) for jix in runs for n, r in jix.items()):
        if "k10_cached_cpu_s" not in r:
            continue
        figures = base.get(name, {}).get("1", {}).get("numpy", {})
        numpy = figures.get("cpu_median_s", figures.get("median_s"))
        cached = r["k10_cached_cpu_s"]
        memory = r.get("memory_pass_cpu_s", r["memory_pass_s"])
        rows.append(
            f"| {name} | {r.get('kernels', '?')} | {ms(r['k10_uncached_cpu_s'])} ms "
            f"| {ms(cached)} ms | {ratio(r['k10_uncached_cpu_s'], cached)} | {ms(memory)} ms "
            f"| {ratio(cached, memory)} | {ms(numpy) + ' ms' if numpy else 'n/a'} "
            f"| {ratio(cached, numpy) if numpy else 'n/a'} | {ms(r['k1000_cached_cpu_s'])} ms "
            f"| {ratio(r['k1000_cached_cpu_s'], cached)} "
            f"| {'yes' if r.get('cached_identical_to_reference') else '**no**'} |")
    return rows if len(rows) > 2 else []


def before_table(runs):
    """Each query shape with the earlier build (--before), this build without the cache and
    with it, timed in turn query by query; thread CPU time."""
    rows = ["| Set | Kernels | Query | earlier build | this build, uncached | ÷ earlier "
            "| this build, cached | ÷ earlier | Same answers |",
            "|---|---|---|---|---|---|---|---|---|"]
    shapes = (("k10", "k=10"), ("k1000", "k=1000"), ("metadata_eq_k10", "metadata `=`, k=10"),
              ("partition_k10", "partition key, k=10"))
    for name, r in ((n, r) for jix in runs for n, r in jix.items()):
        if "k10_before_cpu_s" not in r:
            continue
        for key, label in shapes:
            before = r[f"{key}_before_cpu_s"]
            off, on = r[f"{key}_uncached_cpu_s"], r[f"{key}_cached_cpu_s"]
            rows.append(f"| {name} | {r.get('kernels', '?')} | {label} | {ms(before)} ms "
                        f"| {ms(off)} ms | {ratio(off, before)} | {ms(on)} ms "
                        f"| {ratio(on, before)} | {'yes' if r.get('same_as_before') else '**no**'} |")
    return rows if len(rows) > 2 else []


def pools_text(runtime):
    """One sentence per thread count: which BLAS and OpenMP libraries ran with how many threads."""
    out = []
    for threads, found in sorted(runtime.get("threads", {}).items(), key=lambda i: int(i[0])):
        libs = ", ".join(f"{p['internal_api']} {p.get('version') or ''}".strip() +
                         f" ({os.path.basename(p['filepath'] or '')}, {p['num_threads']} "
                         f"thread{'s' if p['num_threads'] != 1 else ''})" for p in found)
        out.append(f"asked for {threads}: {libs}")
    return "; ".join(out)


def kib(n):
    return f"{n / 1024:.0f} KiB"


def settings_table(settings):
    """page_size x cache placement on one data set, from settings.json."""
    rows = ["| page_size | jix0 load | ordinary table | ÷ floor "
            "| k=10, SQLite cache | blob floor | k=10, OS cache (2 MB SQLite cache) | blob floor "
            "| k=10, OS cache + mmap | blob floor |",
            "|---|---|---|---|---|---|---|---|---|---|"]
    for page, r in settings.items():
        rows.append(
            f"| {int(page):,} | {r['load_jix0_s']:.2f} s | {r['load_plain_s']:.2f} s "
            f"| {ratio(r['load_jix0_s'], r['load_plain_s'])} "
            f"| {ms(r['sqlite_cache_k10_s'])} ms | {ms(r['sqlite_cache_blob_read_s'])} ms "
            f"| {ms(r['os_cache_k10_s'])} ms | {ms(r['os_cache_blob_read_s'])} ms "
            f"| {ms(r['os_cache_mmap_k10_s'])} ms | {ms(r['os_cache_mmap_blob_read_s'])} ms |")
    return rows


def refill_table(refill):
    """The delete-and-refill cycle and 'optimize', from refill.json."""
    rows = ["| Table | Chunks | File after VACUUM | k=10 median |", "|---|---|---|---|"]
    names = [("fresh_load", "Fresh load"),
             ("after_rounds", f"After {refill['rounds']} delete-and-refill rounds"),
             ("after_optimize", "After `optimize` + VACUUM"),
             ("fresh_load_same_rows", "Fresh load of the same rows")]
    for key, label in names:
        r = refill[key]
        rows.append(f"| {label} | {r['chunks']} | {r['bytes'] / 1048576:.1f} MiB "
                    f"| {ms(r['k10_s'])} ms |")
    same, done = refill["fresh_load_same_rows"], refill["after_optimize"]
    rows += ["", f"`optimize` took {refill['optimize_s']:.2f} s. After it: {done['chunks']} chunks "
             f"(minimum {refill['minimum_chunks']}), file {ratio(done['bytes'], same['bytes'])} "
             f"and k=10 {ratio(done['k10_s'], same['k10_s'])} of a fresh load of the same rows."]
    return rows


def chart(jix, base, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    engines = [("Memory pass", lambda r, b: r["memory_pass_s"]),
               ("SQLite blob read", lambda r, b: r["blob_read_s"]),
               ("jix0 k=10", lambda r, b: r["k10_median_s"]),
               ("FAISS IndexFlat", lambda r, b: b.get("1", {}).get("faiss", {}).get("median_s")),
               ("NumPy", lambda r, b: b.get("1", {}).get("numpy", {}).get("median_s"))]
    names = list(jix)
    width = 0.8 / len(engines)
    fig, ax = plt.subplots(figsize=(9, 4.5))
    for i, (label, get) in enumerate(engines):
        xs, ys = [], []
        for j, name in enumerate(names):
            value = get(jix[name], base.get(name, {}))
            if value:
                xs.append(j + (i - (len(engines) - 1) / 2) * width)
                ys.append(value * 1e3)
        ax.bar(xs, ys, width, label=label)
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels([f"{n}\n{jix[n]['rows']:,} × {jix[n]['dims']} {jix[n]['type']}"
                        for n in names])
    ax.set_yscale("log")
    ax.set_ylabel("ms per query (median, single thread)")
    ax.set_title("Exact KNN latency by data set and engine")
    ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    directory, out_md, out_png = sys.argv[1:4]
    with open(os.path.join(directory, "jix.json")) as f:
        jix = json.load(f)
    base, runtime = {}, {}
    path = os.path.join(directory, "baselines.json")
    if os.path.exists(path):
        with open(path) as f:
            stored = json.load(f)
        base, runtime = stored["sets"], stored["runtime"]
    cores = runtime.get("cores", os.cpu_count())
    query, more, load, memory = tables(jix, base)
    threads = threads_table(jix, base, cores)
    settings = {}
    path = os.path.join(directory, "settings.json")
    if os.path.exists(path):
        with open(path) as f:
            settings = json.load(f)
    forced = {}
    path = os.path.join(directory, "avx2", "jix.json")
    if os.path.exists(path):
        with open(path) as f:
            forced = json.load(f)
    print(f"{cpu_name()}; kernels: {kernels_text(jix)}")
    print("\n".join(query + [""] + threads + [""] + more + [""] + load + [""] + memory))
    if forced:
        print("\n" + "\n".join(forced_table(forced, jix, base)))
    cache = cache_table([jix, forced], base)
    if cache:
        print("\n" + "\n".join(cache))
    before = before_table([jix, forced])
    if before:
        print("\n" + "\n".join(before))
    queries = next(iter(jix.values()))["queries"] if jix else 0
    header = [
        "# Benchmark results",
        "",
        f"`make bench` on {datetime.date.today()}, commit {git_revision()}: {cpu_name()}, "
        f"distance kernels {kernels_text(jix)}, {os.cpu_count()} cores, SQLite {sqlite3.sqlite_version} (Python's; the harness uses "
        "the system library), one thread unless the Threads table says otherwise, warm cache. "
        "Medians over "
        f"{queries} queries for k=10, over 5 for the others. Load average (1 minute) when "
        "each set started: " + ", ".join(f"{n} {r['load_average']:.2f}" for n, r in jix.items()
                                         if "load_average" in r) + ".",
        "",
        "Generated by bench/report.py; do not edit by hand.",
        "",
        f"![KNN latency per data set and engine]({os.path.basename(out_png)})",
        "",
        "## KNN, k = 10",
        "",
    ]
    body = query + ["", "## Threads", "",
                    "jix0 with `PRAGMA threads = N`: the connection's thread reads the vectors "
                    "while N helper threads compute distances; N = cores − 1 uses every core. "
                    "Each query ran at every setting in turn, beside a blob-read pass (the floor "
                    "here), so that these ratios compare runs under the same machine load. "
                    "NumPy (on the BLAS below) and FAISS at one thread and at every core. The "
                    f"thread pools that ran: {pools_text(runtime) or 'not recorded'}. Load "
                    "average while the baselines ran: "
                    + (f"{runtime['load_average_before'][0]:.2f} before, "
                       f"{runtime['load_average_after'][0]:.2f} after." if runtime else "—"),
                    ""] + threads
    if forced:
        body += ["", "## Narrower kernels", "",
                 "The KNN sets run again in a second harness with JIX_KERNELS set to a narrower "
                 "variant than this CPU's widest, beside the first run's figures; each run's "
                 "ratios are against its own memory pass. NumPy as above.", ""]
        body += forced_table(forced, jix, base)
    if cache:
        body += ["", "## Chunk cache", "",
                 "The same connection with `jix_cache_size` holding the whole table, each query "
                 "run without and with it in turn, beside one memory pass over the same vectors; "
                 "milliseconds of the query thread's CPU time. NumPy is the float32 form above "
                 "(norms computed beforehand, the top-k selection included) at one thread, also "
                 "by the thread's CPU time. Rows with narrower kernels come from the second "
                 "harness above.", ""] + cache
    if before:
        body += ["", "## Against the earlier build", "",
                 "The build given to the harness with --before, on its own connection to the "
                 "same file (same page cache size), each query run with it, then with this "
                 "build without and with the chunk cache, in turn; thread CPU time. An earlier "
                 "build that predates the JIX_KERNELS override runs its own widest kernels in "
                 "the forced run.", ""] + before
    body += ["", "## k, filters", ""] + more + ["", "## Bulk insert, one transaction", ""] + load
    body += ["", "## Peak memory of one query", "",
             "How far SQLite's heap rose above its level before the query (the search's working "
             "memory; chunk_size 1024). It follows k and the vector size, not the row count.",
             ""] + memory
    if settings:
        body += ["", "## Storage settings, D1", "",
                 "The D1 vectors loaded afresh for each page_size, then queried on a new "
                 "connection: with SQLite's cache holding the table (cache_size = -8000000, as "
                 "above), with the default 2 MB cache so that pages come from the OS cache, and "
                 "with the default cache and mmap_size = 4 GiB. Medians over "
                 f"{min(queries, 20)} queries, k = 10.", ""] + settings_table(settings)
    path = os.path.join(directory, "refill.json")
    if os.path.exists(path):
        with open(path) as f:
            refill = json.load(f)
        table = refill_table(refill)
        print("\n" + "\n".join(table))
        body += ["", "## Delete and refill, then optimize", "",
                 f"{refill['rows']:,} rows of float[{refill['dims']}] loaded in one transaction, "
                 f"then {refill['rounds']} rounds of deleting every other row and inserting as "
                 "many new ones. Every figure after VACUUM; k=10 on a new connection whose cache "
                 "holds the table.", ""] + table
    kept = ""
    if os.path.exists(out_md):  # `make bench-ann` writes its own section; it stays
        from ann_report import current
        with open(out_md) as f:
            kept = current(f.read())
    with open(out_md, "w") as f:
        f.write("\n".join(header + body) + "\n" + ("\n" + kept if kept else ""))
    chart(jix, base, out_png)


if __name__ == "__main__":
    main()
