"""A self-contained PEP 517 build backend: compiles the jix loadable library with the
project's CMake (the library target only) and packs it with the Python package into a wheel.

It needs nothing beyond Python's standard library, CMake and a C++ compiler, so pip builds
the package offline, with or without build isolation. The wheel is tagged py3-none-<platform>:
the library talks to SQLite only, never to the Python C API, so any Python 3 can load it.
"""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_SOURCE_DIR = os.path.normpath(os.path.join(_PACKAGE_DIR, "..", ".."))
_LIBRARY_NAMES = ("jix.so", "jix.dylib", "jix.dll")


def _project():
    """The [project] table's strings from pyproject.toml, plus license.text."""
    with open(os.path.join(_PACKAGE_DIR, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    section = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S).group(1)
    fields = dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"\s*$', section, re.M))
    license_text = re.search(r'^license\s*=\s*\{\s*text\s*=\s*"([^"]*)"\s*\}', section, re.M)
    if license_text:
        fields["license"] = license_text.group(1)
    return fields


def _dist_name(project):
    return re.sub(r"[-_.]+", "_", project["name"]) + "-" + project["version"]


def _metadata(project):
    lines = ["Metadata-Version: 2.1", "Name: " + project["name"], "Version: " + project["version"]]
    if "description" in project:
        lines.append("Summary: " + project["description"])
    if "license" in project:
        lines.append("License: " + project["license"])
    if "requires-python" in project:
        lines.append("Requires-Python: " + project["requires-python"])
    return "\n".join(lines) + "\n"


def _platform_tag():
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


def _progress(message):
    """A progress line. pip keeps a backend's output to itself unless run with -v, so the line
    also goes to the terminal, when there is one, rather than leave a long build silent."""
    line = "jix: " + message + "\n"
    sys.stderr.write(line)
    sys.stderr.flush()
    if sys.stderr.isatty():
        return
    try:
        with open("/dev/tty", "w") as tty:
            tty.write(line)
    except OSError:
        pass


def _fresh_checkout_library():
    """The checkout's build/jix.so when it is newer than every source, else None.

    JIX_REBUILD=1 always builds. A build folder configured for the sanitizers is not used:
    its library loads only into instrumented processes.
    """
    if os.environ.get("JIX_REBUILD") == "1":
        return None
    build = os.path.join(_SOURCE_DIR, "build")
    library = next((os.path.join(build, n) for n in _LIBRARY_NAMES
                    if os.path.exists(os.path.join(build, n))), None)
    if library is None:
        return None
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
            if re.search(r"^JIX_SANITIZE:BOOL=ON$", f.read(), re.M):
                return None
    except OSError:
        return None
    built = os.path.getmtime(library)
    sources = [os.path.join(_SOURCE_DIR, "CMakeLists.txt")]
    for folder, _, names in os.walk(os.path.join(_SOURCE_DIR, "src")):
        sources += [os.path.join(folder, n) for n in names]
    if any(os.path.getmtime(s) >= built for s in sources):
        return None
    return library


def _build_library(work):
    """Builds the library target in `work` and returns the path of the library file."""
    if not os.path.exists(os.path.join(_SOURCE_DIR, "CMakeLists.txt")):
        raise RuntimeError(
            "the jix sources are not at %s: build the package from a checkout's "
            "bindings/python folder" % _SOURCE_DIR)
    fresh = _fresh_checkout_library()
    if fresh:
        _progress("using %s, newer than every source (JIX_REBUILD=1 builds anew)" % fresh)
        return fresh
    cmake = os.environ.get("CMAKE", "cmake")
    configure = [cmake, "-S", _SOURCE_DIR, "-B", work, "-DCMAKE_BUILD_TYPE=Release",
                 "-DJIX_BUILD_TESTS=OFF"]
    configure += os.environ.get("JIX_CMAKE_ARGS", "").split()
    jobs = str(os.cpu_count() or 1)
    steps = (("configuring the library with CMake", configure),
             ("compiling the library on %s cores (a minute or two; pip -v shows the compiler)"
              % jobs, [cmake, "--build", work, "--target", "jix", "-j", jobs]))
    for message, command in steps:
        _progress(message)
        # Build output goes to stderr: pip shows it with -v, and stdout stays free for hooks.
        subprocess.run(command, check=True, stdout=sys.stderr)
    for name in _LIBRARY_NAMES:
        path = os.path.join(work, name)
        if os.path.exists(path):
            _progress("built " + name)
            return path
    raise RuntimeError("the CMake build finished without a jix library in " + work)


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    dist = _dist_name(project)
    tag = "py3-none-" + _platform_tag()
    files = []  # (arcname, bytes, executable)
    package = os.path.join(_PACKAGE_DIR, "jix")
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            with open(os.path.join(package, name), "rb") as f:
                files.append(("jix/" + name, f.read(), False))
    work = tempfile.mkdtemp(prefix="jix-build-")
    try:
        library = _build_library(work)
        with open(library, "rb") as f:
            files.append(("jix/" + os.path.basename(library), f.read(), True))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    info = dist + ".dist-info/"
    files.append((info + "METADATA", _metadata(project).encode(), False))
    wheel = "Wheel-Version: 1.0\nGenerator: jix_build\nRoot-Is-Purelib: false\nTag: %s\n" % tag
    files.append((info + "WHEEL", wheel.encode(), False))
    license_path = os.path.join(_SOURCE_DIR, "LICENSE")
    if os.path.exists(license_path):
        with open(license_path, "rb") as f:
            files.append((info + "LICENSE", f.read(), False))
    record = [_record_line(arcname, data) for arcname, data, _ in files]
    record.append(info + "RECORD,,")
    files.append((info + "RECORD", ("\n".join(record) + "\n").encode(), False))

    filename = "%s-%s.whl" % (dist, tag)
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w",
                         zipfile.ZIP_DEFLATED) as zf:
        for arcname, data, executable in files:
            entry = zipfile.ZipInfo(arcname, date_time=(2026, 1, 1, 0, 0, 0))
            entry.external_attr = (0o755 if executable else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(entry, data)
    return filename


def get_requires_for_build_wheel(config_settings=None):
    return []
