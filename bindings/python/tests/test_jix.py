"""The Python binding against Debian's python3 sqlite3: loading, serialising, KNN, .npy input."""

import io
import os
import sqlite3
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import jix  # noqa: E402

np = pytest.importorskip("numpy")


@pytest.fixture
def conn():
    c = sqlite3.connect(":memory:")
    jix.load(c)
    yield c
    c.close()


def test_loadable_path_points_at_the_library():
    assert os.path.exists(jix.loadable_path() + ".so")


def test_serializers_match_the_compact_forms(conn):
    assert jix.serialize_float32([1, 2]) == bytes.fromhex("0000803f00000040")
    assert jix.serialize_int8([1, -2]) == bytes([1, 0xFE])
    row = conn.execute(
        "select jix_to_json(?), jix_to_json(jix_int8(?))",
        (jix.serialize_float32([1, 2.5]), jix.serialize_int8([1, -2])),
    ).fetchone()
    assert row == ("[1.000000,2.500000]", "[1,-2]")


def test_knn_over_numpy_vectors_matches_brute_force(conn):
    rng = np.random.default_rng(7)
    data = rng.standard_normal((300, 16)).astype(np.float32)
    conn.execute("create virtual table items using jix0(embedding float[16], category integer)")
    conn.executemany(
        "insert into items(rowid, embedding, category) values (?, ?, ?)",
        [(i + 1, data[i].tobytes(), i % 3) for i in range(len(data))],
    )
    query = rng.standard_normal(16).astype(np.float32)
    rows = conn.execute(
        "select rowid, distance from items where embedding match ? and k = 5",
        (query.tobytes(),),
    ).fetchall()
    expected = np.argsort(np.sqrt(((data - query) ** 2).sum(axis=1)), kind="stable")[:5] + 1
    assert [r[0] for r in rows] == list(expected)

    filtered = conn.execute(
        "select rowid from items where embedding match ? and k = 5 and category = 2",
        (jix.serialize_float32(query.tolist()),),
    ).fetchall()
    assert len(filtered) == 5 and all((r[0] - 1) % 3 == 2 for r in filtered)


def test_npy_each_lists_a_numpy_array():
    conn = sqlite3.connect(":memory:")
    jix.load(conn, numpy=True)
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    buffer = io.BytesIO()
    np.save(buffer, array)
    rows = conn.execute("select rowid, vector from jix_npy_each(?)",
                        (buffer.getvalue(),)).fetchall()
    assert [r[0] for r in rows] == [0, 1]
    assert [jix.deserialize_float32(r[1]).tolist() for r in rows] == array.tolist()


@pytest.mark.parametrize("enabled", [False, True])
def test_load_leaves_extension_loading_as_it_was(enabled):
    conn = sqlite3.connect(":memory:")
    conn.enable_load_extension(enabled)
    jix.load(conn, numpy=True)
    assert jix._extension_loading_enabled(conn) is enabled
    if not enabled:
        with pytest.raises(sqlite3.OperationalError, match="not authorized"):
            conn.execute("select load_extension(?)", (jix.loadable_path(),))


def test_load_without_numpy_registers_only_the_main_entry_point():
    conn = sqlite3.connect(":memory:")
    jix.load(conn)
    names = {r[0] for r in conn.execute("select name from pragma_function_list")}
    assert "jix_distance_l2" in names and "jix_npy_file" not in names


def test_deserialize_float32_reads_stored_vectors_with_and_without_numpy(conn, monkeypatch):
    blob = conn.execute("select jix_f32('[1, 2.5, -3]')").fetchone()[0]
    vector = jix.deserialize_float32(blob)
    assert isinstance(vector, np.ndarray) and vector.dtype == np.float32
    assert vector.tolist() == [1, 2.5, -3]
    monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy now raises ImportError
    assert jix.deserialize_float32(blob) == [1, 2.5, -3]
    message = "^a float32 vector has 4 bytes per element, not 6 bytes in all$"
    with pytest.raises(ValueError, match=message):
        jix.deserialize_float32(bytes(6))


def test_load_explains_a_python_without_extension_loading():
    class NoExtensions:  # what sqlite3.connect() returns in such a build lacks the method
        pass

    with pytest.raises(RuntimeError, match="cannot load extensions"):
        jix.load(NoExtensions())


@pytest.mark.parametrize(
    "values",
    [
        np.array([1, 2.5, -3], dtype=np.float32),
        np.array([1, 2.5, -3], dtype=np.float64),
        np.array([1, 2.5, -3], dtype=">f4"),
        np.array([1, 2.5, -3, 7], dtype=np.float32)[:3],
        np.array([9, 1, 7, 2.5, 7, -3], dtype=np.float32)[1::2],
        __import__("array").array("f", [1, 2.5, -3]),
        __import__("array").array("d", [1, 2.5, -3]),
        memoryview(__import__("array").array("f", [1, 2.5, -3])),
        (1, 2.5, -3),
    ],
    ids=["f4", "f8", "big-endian", "slice", "strided", "array-f", "array-d",
         "memoryview", "tuple"],
)
def test_serialize_float32_takes_arrays_and_buffers(values):
    assert jix.serialize_float32(values) == jix.serialize_float32([1, 2.5, -3])


def test_serialize_float32_converts_integer_arrays_and_rejects_two_dimensions():
    assert jix.serialize_float32(np.arange(3, dtype=np.int64)) == jix.serialize_float32([0, 1, 2])
    with pytest.raises(ValueError, match="one-dimensional array, not 2 dimensions"):
        jix.serialize_float32(np.zeros((2, 2), dtype=np.float32))
    with pytest.raises(ValueError, match="one-dimensional buffer, not 2 dimensions"):
        jix.serialize_float32(memoryview(bytes(16)).cast("f", (2, 2)))


# NumPy scalars have the buffer protocol: unadapted, sqlite3 binds np.int64(3) as an 8-byte BLOB.
def test_numpy_scalars_bind_as_the_numbers_they_hold(conn):
    conn.execute("create virtual table t using jix0(embedding float[2], category integer, "
                 "score float, label text)")
    insert = "insert into t(rowid, embedding, category, score, label) values (?, ?, ?, ?, ?)"
    values = [(np.int64(1), np.int64(3), np.float32(0.5)),
              (np.int32(2), np.uint8(4), np.float64(2)),
              (np.int8(3), np.bool_(True), np.float16(1.5))]
    for rowid, category, score in values:
        conn.execute(insert, (rowid, jix.serialize_float32(np.zeros(2)), category, score, "x"))
    assert conn.execute("select rowid, category, score from t order by rowid").fetchall() == [
        (1, 3, 0.5), (2, 4, 2.0), (3, 1, 1.5)]
    types = conn.execute("select typeof(?), typeof(?)", (np.int64(7), np.float32(1))).fetchone()
    assert types == ("integer", "real")


def test_build_backend_packs_a_fresh_checkout_library_only(tmp_path, monkeypatch):
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "build_backend"))
    import jix_build

    (tmp_path / "src" / "x").mkdir(parents=True)
    (tmp_path / "build").mkdir()
    source, cmakelists = tmp_path / "src" / "x" / "a.cc", tmp_path / "CMakeLists.txt"
    library, cache = tmp_path / "build" / "jix.so", tmp_path / "build" / "CMakeCache.txt"
    for path in (source, cmakelists, library, cache):
        path.write_text("")
    os.utime(source, (100, 100))
    os.utime(cmakelists, (100, 100))
    os.utime(library, (200, 200))
    monkeypatch.setattr(jix_build, "_SOURCE_DIR", str(tmp_path))
    monkeypatch.delenv("JIX_REBUILD", raising=False)
    assert jix_build._fresh_checkout_library() == str(library)
    monkeypatch.setenv("JIX_REBUILD", "1")
    assert jix_build._fresh_checkout_library() is None
    monkeypatch.delenv("JIX_REBUILD")
    os.utime(source, (300, 300))  # a source edited after the build
    assert jix_build._fresh_checkout_library() is None
    os.utime(source, (100, 100))
    cache.write_text("JIX_SANITIZE:BOOL=ON\n")
    assert jix_build._fresh_checkout_library() is None
