"""Load the jix SQLite extension into Python's sqlite3 and build vector values.

    import sqlite3, jix
    conn = sqlite3.connect("app.db")
    jix.load(conn)
    conn.execute("select jix_distance_l2(?, ?)",
                 (jix.serialize_float32([0, 0]), jix.serialize_float32([3, 4])))
"""

import os
import struct

__all__ = ["load", "loadable_path", "serialize_float32", "serialize_int8"]

_HERE = os.path.dirname(os.path.abspath(__file__))


def loadable_path():
    """Path of the loadable library, without its file ending, as load_extension() takes it.

    Looks at $JIX_LOADABLE_PATH, then next to this package, then the build folder of a
    source checkout, then the usual install locations.
    """
    override = os.environ.get("JIX_LOADABLE_PATH")
    if override:
        return override[:-3] if override.endswith(".so") else override
    candidates = [
        os.path.join(_HERE, "jix"),
        os.path.join(_HERE, "..", "..", "..", "build", "jix"),
        "/usr/local/lib/jix",
        "/usr/lib/jix",
    ]
    for candidate in candidates:
        if os.path.exists(candidate + ".so"):
            return os.path.normpath(candidate)
    raise FileNotFoundError(
        "jix.so not found: build it with 'make', or set JIX_LOADABLE_PATH to its path")


def load(conn):
    """Loads jix into an open sqlite3.Connection."""
    if not hasattr(conn, "enable_load_extension"):
        raise RuntimeError(
            "this Python's sqlite3 module cannot load extensions (it was built without "
            "--enable-loadable-sqlite-extensions): use a Python that can, such as "
            "Debian's /usr/bin/python3")
    conn.enable_load_extension(True)
    try:
        conn.load_extension(loadable_path())
    finally:
        conn.enable_load_extension(False)


def serialize_float32(values):
    """The compact float32 BLOB of a list of numbers (4 little-endian bytes per element)."""
    return struct.pack("<%df" % len(values), *values)


def serialize_int8(values):
    """The compact int8 BLOB of a list of integers from -128 to 127.

    SQL reads an untagged BLOB as float32: wrap it in jix_int8(?) when binding it.
    """
    return struct.pack("<%db" % len(values), *values)
