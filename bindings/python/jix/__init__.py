"""Load the jix SQLite extension into Python's sqlite3 and build vector values.

    import sqlite3, jix
    conn = sqlite3.connect("app.db")
    jix.load(conn)
    conn.execute("select jix_distance_l2(?, ?)",
                 (jix.serialize_float32([0, 0]), jix.serialize_float32([3, 4])))
"""

import array
import os
import sqlite3
import struct
import sys

__all__ = ["deserialize_float32", "load", "loadable_path", "register_numpy_adapters",
           "serialize_float32", "serialize_int8"]

_HERE = os.path.dirname(os.path.abspath(__file__))


_ENDINGS = (".so", ".dylib", ".dll")


def loadable_path():
    """Path of the loadable library, without its file ending, as load_extension() takes it.

    Looks at $JIX_LOADABLE_PATH, then inside this package (where pip puts the library it
    builds), then the build folder of a source checkout, then the usual install locations.
    """
    override = os.environ.get("JIX_LOADABLE_PATH")
    if override:
        for ending in _ENDINGS:
            if override.endswith(ending):
                return override[:-len(ending)]
        return override
    candidates = [
        os.path.join(_HERE, "jix"),
        os.path.join(_HERE, "..", "..", "..", "build", "jix"),
        "/usr/local/lib/jix",
        "/usr/lib/jix",
    ]
    for candidate in candidates:
        if any(os.path.exists(candidate + ending) for ending in _ENDINGS):
            return os.path.normpath(candidate)
    raise FileNotFoundError(
        "jix.so not found: build it with 'make', or set JIX_LOADABLE_PATH to its path")


def _extension_loading_enabled(conn):
    """Whether the connection lets SQL load extensions right now.

    Python 3.12 and later can ask SQLite; before that, SQL's load_extension() of a file that
    does not exist tells: "not authorized" while loading is off, a loader error while it is on.
    """
    flag = getattr(sqlite3, "SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION", None)
    if flag is not None and hasattr(conn, "getconfig"):
        return bool(conn.getconfig(flag))
    try:
        conn.execute("select load_extension('/nonexistent/jix-loading-probe')")
    except sqlite3.OperationalError as e:
        return "not authorized" not in str(e)
    return True


def load(conn, numpy=False):
    """Loads jix into an open sqlite3.Connection.

    With numpy=True, also loads the entry point of jix_npy_each and jix_npy_file. Extension
    loading is left as it was before the call: off again if it was off.
    """
    if not hasattr(conn, "enable_load_extension"):
        raise RuntimeError(
            "this Python's sqlite3 module cannot load extensions (it was built without "
            "--enable-loadable-sqlite-extensions): use a Python that can, such as "
            "Debian's /usr/bin/python3")
    was_enabled = _extension_loading_enabled(conn)
    path = loadable_path()
    conn.enable_load_extension(True)
    try:
        conn.load_extension(path)
        if numpy:
            # load_extension() names no entry point before Python 3.12; SQL's does.
            conn.execute("select load_extension(?, 'sqlite3_jix_numpy_init')", (path,))
    finally:
        conn.enable_load_extension(was_enabled)
    register_numpy_adapters()


def _concrete_types(base):
    found = set()
    for sub in base.__subclasses__():
        found.add(sub)
        found |= _concrete_types(sub)
    return found


def register_numpy_adapters():
    """Makes sqlite3 bind NumPy scalars (np.int64(3), np.float32(0.5), np.bool_) as the numbers
    they hold. Without it they have the buffer protocol and bind as BLOBs of their raw bytes,
    which a metadata column rejects and an untyped column stores silently. load() calls this
    when NumPy is imported; call it again if NumPy is imported later. Arrays are unaffected.
    """
    np = sys.modules.get("numpy")
    if np is None:
        return
    for kind, convert in ((np.integer, int), (np.floating, float), (np.bool_, int)):
        for scalar in _concrete_types(kind) | {kind}:
            sqlite3.register_adapter(scalar, convert)


def serialize_float32(values):
    """The compact float32 BLOB of a sequence of numbers (4 little-endian bytes per element).

    Takes a list or tuple, a one-dimensional NumPy array of any numeric type, or any other
    one-dimensional object with the buffer protocol (array.array, memoryview); arrays are
    converted in C, element by element, without a Python loop.
    """
    np = sys.modules.get("numpy")
    if np is not None and isinstance(values, np.ndarray):
        if values.ndim != 1:
            raise ValueError("serialize_float32 takes a one-dimensional array, not %d dimensions"
                             % values.ndim)
        return np.ascontiguousarray(values, dtype="<f4").tobytes()
    try:
        view = memoryview(values)
    except TypeError:
        return struct.pack("<%df" % len(values), *values)
    with view:
        if view.ndim != 1:
            raise ValueError("serialize_float32 takes a one-dimensional buffer, not %d dimensions"
                             % view.ndim)
        if view.format == "f" and sys.byteorder == "little":
            return view.tobytes()
        floats = array.array("f", view.tolist())
    if sys.byteorder != "little":
        floats.byteswap()
    return floats.tobytes()


def serialize_int8(values):
    """The compact int8 BLOB of a list of integers from -128 to 127.

    SQL reads an untagged BLOB as float32: wrap it in jix_int8(?) when binding it.
    """
    return struct.pack("<%db" % len(values), *values)


def deserialize_float32(blob):
    """The elements of a compact float32 BLOB (a stored vector, or jix_f32(...)'s result).

    A NumPy float32 array when NumPy can be imported, else a list of floats.
    """
    data = bytes(blob)
    if len(data) % 4:
        raise ValueError("a float32 vector has 4 bytes per element, not %d bytes in all"
                         % len(data))
    try:
        import numpy as np
    except ImportError:
        floats = array.array("f")
        floats.frombytes(data)
        if sys.byteorder != "little":
            floats.byteswap()
        return floats.tolist()
    return np.frombuffer(data, dtype="<f4").astype(np.float32)
