"""A typical app with jix in Python, step by step; the tests run it and it checks itself.

    PYTHONPATH=bindings/python /usr/bin/python3 examples/recipe.py

Needs NumPy (Debian: python3-numpy) and Python's sqlite3 with extension loading and FTS5,
as Debian's /usr/bin/python3 has. Set JIX_LOADABLE_PATH to use a library other than the
checkout's build/jix.so.
"""

import sqlite3

import numpy as np

import jix

DIMENSIONS = 32
ROWS = 3000
TOPICS = ["apple", "pear", "plum", "cherry", "grape"]


def step(title):
    print("\n== " + title)


def make_vectors(rng):
    """Seeded vectors around 20 centres, as embeddings of a few topics tend to be."""
    centres = rng.standard_normal((20, DIMENSIONS))
    labels = rng.integers(0, 20, ROWS)
    vectors = centres[labels] + 0.8 * rng.standard_normal((ROWS, DIMENSIONS))
    return vectors.astype(np.float32), labels


def cosine_distances(vectors, query):
    """Brute force in NumPy, to check the answers against."""
    v = vectors.astype(np.float64)
    q = query.astype(np.float64)
    return 1 - (v @ q) / (np.linalg.norm(v, axis=1) * np.linalg.norm(q))


def create_and_load(conn, vectors, labels):
    step("1. A table with a partition key, metadata and an auxiliary column")
    # tenant: nearly every query names one, and each has many rows -> partition key.
    # category: filtered inside the search -> metadata. title: only shown -> auxiliary.
    conn.execute(
        "create virtual table docs using jix0("
        " tenant integer partition key,"
        " embedding float[%d] distance_metric=cosine,"
        " category integer,"
        " +title text,"
        # chunk_size: about a tenant's rows / 4 (docs/tables-and-queries.md, partitions)
        " chunk_size=256)" % DIMENSIONS)

    step("2. Bulk load from a NumPy float32 array, one transaction")
    rows = ((i + 1, i % 3, vectors[i].tobytes(), int(labels[i]) % 5,
             "%s note %d" % (TOPICS[labels[i] % 5], i + 1)) for i in range(ROWS))
    with conn:
        conn.executemany(
            "insert into docs(rowid, tenant, embedding, category, title) values (?, ?, ?, ?, ?)",
            rows)
    print("loaded", conn.execute("select count(*) from docs").fetchone()[0], "rows")
    stored = conn.execute("select embedding from docs where rowid = 7").fetchone()[0]
    assert np.array_equal(jix.deserialize_float32(stored), vectors[6])


def filtered_knn(conn, vectors, labels):
    query = vectors[0]
    category = int(labels[0]) % 5
    rows = conn.execute(
        "select rowid, title, distance from docs"
        " where embedding match ? and k = 5 and tenant = 0 and category = ?",
        (query.tobytes(), category)).fetchall()
    for rowid, title, distance in rows:
        print(rowid, title, "%.4f" % distance)
    ids = np.arange(1, ROWS + 1)
    allowed = (ids % 3 == 1) & (labels % 5 == category)  # rowid i + 1 has tenant i % 3
    expected = np.sort(cosine_distances(vectors[allowed], query))[:5]
    assert rows[0][0] == 1
    assert np.allclose([r[2] for r in rows], expected, atol=1e-5), (rows, expected)


def update_delete_optimize(conn, vectors):
    step("3. Update, delete and optimize")
    conn.execute("update docs set title = 'edited', category = 4 where rowid = 2")
    # A KNN match can pick the rows to change: here the 3 nearest of tenant 1.
    conn.execute("delete from docs where embedding match ? and k = 3 and tenant = 1",
                 (vectors[1].tobytes(),))
    with conn:
        conn.execute("delete from docs where rowid % 2 = 0")
    before = conn.execute("select count(*) from docs_chunks").fetchone()[0]
    conn.execute("insert into docs(docs) values ('optimize')")
    after = conn.execute("select count(*) from docs_chunks").fetchone()[0]
    print("rows left:", conn.execute("select count(*) from docs").fetchone()[0],
          "- chunks before optimize:", before, "after:", after)
    assert after < before


def ivf_recall(conn, vectors):
    step("4. An IVF index: declare, build, check recall against a large probes")
    conn.execute("create virtual table docs_ivf using jix0("
                 " embedding float[%d] distance_metric=cosine index=ivf lists=16,"
                 " category integer)" % DIMENSIONS)
    with conn:
        conn.executemany("insert into docs_ivf(rowid, embedding, category) values (?, ?, ?)",
                         ((i + 1, vectors[i].tobytes(), i % 5) for i in range(ROWS)))
    conn.execute("insert into docs_ivf(docs_ivf) values ('build-index')")
    knn = ("select rowid from docs_ivf where embedding match ? and k = 10 and probes = ?")
    queries = vectors[::60]
    recall = {}
    for probes in (1, 2, 4, 16):
        found = 0
        for q in queries:
            exact = {r[0] for r in conn.execute(knn, (q.tobytes(), 1000000))}
            approx = {r[0] for r in conn.execute(knn, (q.tobytes(), probes))}
            found += len(exact & approx)
        recall[probes] = found / (10 * len(queries))
        print("probes %2d: recall@10 %.3f" % (probes, recall[probes]))
    assert recall[16] == 1.0 and recall[4] >= 0.9, recall


def hybrid_search(conn, vectors):
    step("5. Hybrid search with FTS5, ranked by reciprocal rank fusion")
    conn.execute("create virtual table docs_text using fts5(title)")
    conn.execute("insert into docs_text(rowid, title) select rowid, title from docs")
    query = vectors[4].tobytes()
    # Only rows with the word, nearest first.
    rows = conn.execute(
        "select d.rowid, t.title from docs as d join docs_text as t on t.rowid = d.rowid"
        " where d.embedding match ? and d.k = 5"
        " and d.rowid in (select rowid from docs_text where docs_text match 'cherry')",
        (query,)).fetchall()
    print("nearest with 'cherry':", rows)
    assert len(rows) == 5 and all("cherry" in title for _, title in rows)
    # Both rankings fused: 1 / (60 + rank) in each list a row appears in, summed.
    fused = conn.execute(
        """
        with semantic as (
          select rowid, row_number() over (order by distance) as rank
          from docs where embedding match ? and k = 20
        ), keyword as (
          select rowid, row_number() over (order by rank) as rank
          from docs_text where docs_text match 'cherry' order by rank limit 20
        )
        select rowid, sum(1.0 / (60 + rank)) as score
        from (select * from semantic union all select * from keyword)
        group by rowid order by score desc limit 5
        """, (query,)).fetchall()
    print("fused:", [(r, round(s, 4)) for r, s in fused])
    assert len(fused) == 5 and fused[0][1] >= fused[-1][1]


def migrate(conn, vectors):
    step("6. Moving vectors over from a plain table")
    conn.execute("create table old_docs(id integer primary key, title text, embedding blob)")
    with conn:
        conn.executemany("insert into old_docs values (?, ?, ?)",
                         ((i + 1, "old %d" % (i + 1), vectors[i].tobytes()) for i in range(500)))
    conn.execute("create virtual table new_docs using jix0(embedding float[%d], +title text)"
                 % DIMENSIONS)
    with conn:
        conn.execute("insert into new_docs(rowid, embedding, title)"
                     " select id, embedding, title from old_docs")
    rows = conn.execute("select rowid, title from new_docs where embedding match ? and k = 1",
                        (vectors[9].tobytes(),)).fetchall()
    print("moved", conn.execute("select count(*) from new_docs").fetchone()[0], "rows;", rows)
    assert rows == [(10, "old 10")]


def main():
    conn = sqlite3.connect(":memory:")
    jix.load(conn)
    vectors, labels = make_vectors(np.random.default_rng(7))
    create_and_load(conn, vectors, labels)
    filtered_knn(conn, vectors, labels)
    update_delete_optimize(conn, vectors)
    ivf_recall(conn, vectors)
    hybrid_search(conn, vectors)
    migrate(conn, vectors)
    print("\nrecipe done")


if __name__ == "__main__":
    main()
