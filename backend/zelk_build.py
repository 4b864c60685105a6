"""The build backend of zelk (PEP 517): wheels and the source archive, made by the project's CMake.

It lives in the tree, named by pyproject.toml through backend-path, so that building zelk needs
nothing downloaded (a build host may have no package index at all) and CMakeLists.txt stays the
one description of how the module is built. Standard library only.

It is also a command, for interpreters whose pip predates in-tree backends (3.6 ships pip 18.1):

    python3.6 backend/zelk_build.py wheel [--stable-abi] [DIRECTORY]    # then pip install it
    python3 backend/zelk_build.py sdist [DIRECTORY]

DIRECTORY defaults to dist. The stable-ABI wheel (cp36-abi3), one module for every CPython from
3.6 on, is asked for with --stable-abi here and with the config setting stable-abi=true through
a frontend (pip wheel . -C stable-abi=true). The file parses on Python 2 as well, so that an
interpreter outside the supported range is refused in one line rather than with a syntax error.
"""
import base64
import csv
import functools
import glob
import gzip
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The oldest CPython the module is written for; later ones are all accepted (ext_compat.h
# decides how a version the module was not checked against is read).
OLDEST_VERSION = (3, 6)

# What a build needs: with PKG-INFO, the whole of the source archive.
SDIST_FILES = ("CMakeLists.txt", "README.md", "backend/zelk_build.py", "pyproject.toml")
SDIST_DIRECTORIES = ("pkg",)

# The stub ships as the stub-only package where type checkers look for it (PEP 561), with the
# text and line numbers that the module's traceback entries point at.
STUB_SOURCE = "pkg/zelk.pyi"
STUB_IN_WHEEL = "zelk-stubs/__init__.pyi"

# The stable ABI the module is built against, as the wheel tag names it (cp36-abi3).
STABLE_ABI_VERSION = (3, 6)

# The earliest time a zip archive can hold; archive timestamps without SOURCE_DATE_EPOCH.
ZIP_EPOCH = 315532800  # 1980-01-01T00:00:00Z


class BuildFailure(Exception):
    """A build that cannot go on. Its message is the one line the user sees."""


# --- the PEP 517 hooks ---------------------------------------------------------------------------


def _hook(function):
    """Refuses an unsupported interpreter, and reports a failure in one line on stderr without a
    traceback: a frontend shows the hook's output as it is."""

    @functools.wraps(function)
    def hook(*args, **kwargs):
        try:
            _require_supported_interpreter()
            return function(*args, **kwargs)
        except BuildFailure as failure:
            _report(failure)
            raise SystemExit(1)

    return hook


@_hook
def get_requires_for_build_wheel(config_settings=None):
    return []


@_hook
def get_requires_for_build_sdist(config_settings=None):
    return []


@_hook
def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = read_project()
    tag = wheel_tag(_wants_stable_abi(config_settings))
    dist_info = _archive_base(project) + ".dist-info"
    os.mkdir(os.path.join(metadata_directory, dist_info))
    for name, text in (("METADATA", metadata_text(project)), ("WHEEL", wheel_text(tag))):
        with io.open(os.path.join(metadata_directory, dist_info, name), "w", encoding="utf-8",
                     newline="\n") as file:
            file.write(text)
    for path in license_files(project):
        copy = os.path.join(metadata_directory, dist_info, "licenses", *path.split("/"))
        if not os.path.isdir(os.path.dirname(copy)):
            os.makedirs(os.path.dirname(copy))
        shutil.copyfile(os.path.join(ROOT, path), copy)
    return dist_info


@_hook
def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = read_project()
    stable_abi = _wants_stable_abi(config_settings)
    tag = wheel_tag(stable_abi)
    build_dir = tempfile.mkdtemp(prefix="zelk-build-")
    try:
        module = _build_module(build_dir, stable_abi)
        payload = [(os.path.basename(module), _read_bytes(module), 0o755),
                   (STUB_IN_WHEEL, _read_bytes(os.path.join(ROOT, STUB_SOURCE)), 0o644)]
    finally:
        shutil.rmtree(build_dir, ignore_errors=True)
    dist_info = _archive_base(project) + ".dist-info"
    metadata = [(dist_info + "/METADATA", metadata_text(project).encode("utf-8"), 0o644),
                (dist_info + "/WHEEL", wheel_text(tag).encode("utf-8"), 0o644)]
    metadata.extend((dist_info + "/licenses/" + path, _read_bytes(os.path.join(ROOT, path)), 0o644)
                    for path in license_files(project))
    name = "%s-%s.whl" % (_archive_base(project), tag)
    _write_atomically(os.path.join(wheel_directory, name),
                      functools.partial(_write_wheel, payload=payload, metadata=metadata,
                                        record=dist_info + "/RECORD"))
    return name


@_hook
def build_sdist(sdist_directory, config_settings=None):
    project = read_project()
    base = _archive_base(project)
    entries = [("PKG-INFO", metadata_text(project).encode("utf-8"))]
    for path in _sdist_sources(project):
        entries.append((path, _read_bytes(os.path.join(ROOT, path))))
    name = base + ".tar.gz"
    _write_atomically(os.path.join(sdist_directory, name),
                      functools.partial(_write_sdist, base=base, entries=sorted(entries)))
    return name


def _require_supported_interpreter():
    version = tuple(sys.version_info[:2])
    if version < OLDEST_VERSION:
        running = ".".join(str(part) for part in sys.version_info[:3])
        raise BuildFailure("needs Python %d.%d or later; %s is Python %s"
                           % (OLDEST_VERSION + (sys.executable, running)))


_TRUE_WORDS = ("true", "1", "yes", "on")
_FALSE_WORDS = ("false", "0", "no", "off")


def _wants_stable_abi(config_settings):
    """Reads the frontend's config settings (pip wheel -C KEY=VALUE). A key this backend does not
    know is refused, so that a misspelt request does not quietly build the other wheel."""
    settings = dict(config_settings or {})
    value = settings.pop("stable-abi", "false")
    if settings:
        raise BuildFailure("unknown config setting %s; the one known is stable-abi=true|false"
                           % ", ".join(repr(key) for key in sorted(settings)))
    if not isinstance(value, str) or value.lower() not in _TRUE_WORDS + _FALSE_WORDS:
        raise BuildFailure("config setting stable-abi=%r: give true or false" % (value,))
    if value.lower() in _FALSE_WORDS:
        return False
    if sys.implementation.name != "cpython":
        raise BuildFailure("the stable-ABI wheel is CPython's; %s has none (build without "
                           "stable-abi)" % _interpreter_name())
    return True


def _interpreter_name():
    """'PyPy 3.9' or 'CPython 3.12', for messages."""
    names = {"cpython": "CPython", "pypy": "PyPy"}
    implementation = sys.implementation.name
    return "%s %d.%d" % ((names.get(implementation, implementation),) + sys.version_info[:2])


def _report(failure):
    sys.stderr.write("zelk: %s\n" % failure)
    sys.stderr.flush()


# --- project metadata ----------------------------------------------------------------------------

_PROJECT_KEYS = ("name", "version", "description", "readme", "requires-python", "license",
                 "license-files", "classifiers")
_README_TYPES = {".md": "text/markdown", ".rst": "text/x-rst"}


def read_project(root=ROOT):
    """The [project] table of pyproject.toml, refusing keys this backend would silently drop."""
    project = parse_toml(_read_text(os.path.join(root, "pyproject.toml"))).get("project", {})
    unknown = sorted(set(project) - set(_PROJECT_KEYS))
    if unknown:
        raise BuildFailure("pyproject.toml: [project] %s not understood by backend/zelk_build.py"
                           % ", ".join(unknown))
    for key in ("name", "version"):
        if not project.get(key):
            raise BuildFailure("pyproject.toml: [project] has no %s" % key)
    # The license is an SPDX expression, its files a list of patterns (PEP 639); a package index
    # refuses a License classifier beside the expression.
    if not isinstance(project.get("license", ""), str):
        raise BuildFailure('pyproject.toml: [project] license must be an expression, like "MIT"')
    if not isinstance(project.get("license-files", []), list):
        raise BuildFailure("pyproject.toml: [project] license-files must be a list of patterns")
    if "license" in project and any(classifier.startswith("License ::")
                                    for classifier in project.get("classifiers", [])):
        raise BuildFailure("pyproject.toml: [project] license and a License classifier both "
                           "given; keep the license alone")
    return project


def license_files(project, root=ROOT):
    """The files that license-files names, as paths from root with '/': every pattern must match
    one at least, inside the project."""
    found = []
    for pattern in project.get("license-files", []):
        if pattern.startswith("/") or ".." in pattern.split("/"):
            raise BuildFailure("pyproject.toml: license-files %r is outside the project" % pattern)
        matches = sorted(os.path.relpath(path, root).replace(os.sep, "/") for path in glob.glob(
            os.path.join(glob.escape(root), pattern), recursive=True) if os.path.isfile(path))
        if not matches:
            raise BuildFailure("pyproject.toml: license-files %r matches no file" % pattern)
        found.extend(path for path in matches if path not in found)
    return found


def metadata_text(project, root=ROOT):
    """METADATA of the wheel and PKG-INFO of the source archive (core metadata 2.4)."""
    lines = ["Metadata-Version: 2.4", "Name: " + project["name"], "Version: " + project["version"]]
    if "description" in project:
        lines.append("Summary: " + project["description"])
    if "requires-python" in project:
        lines.append("Requires-Python: " + project["requires-python"])
    if "license" in project:
        lines.append("License-Expression: " + project["license"])
    lines.extend("License-File: " + path for path in license_files(project, root))
    lines.extend("Classifier: " + classifier for classifier in project.get("classifiers", []))
    description = ""
    if "readme" in project:
        readme_type = _README_TYPES.get(os.path.splitext(project["readme"])[1], "text/plain")
        lines.append("Description-Content-Type: %s; charset=UTF-8" % readme_type)
        description = _read_text(os.path.join(root, project["readme"]))
    return "\n".join(lines) + "\n\n" + description


def wheel_text(tag):
    return ("Wheel-Version: 1.0\nGenerator: backend/zelk_build.py\nRoot-Is-Purelib: false\n"
            "Tag: %s\n" % tag)


_INTERPRETER_ABBREVIATIONS = {"cpython": "cp", "pypy": "pp", "ironpython": "ip", "jython": "jy"}


def wheel_tag(stable_abi=False):
    """The PEP 425 tag of a module built for the running interpreter: cp36-cp36m-linux_x86_64,
    cp313-cp313-linux_x86_64, pp39-pypy39_pp73-linux_x86_64; with stable_abi, the tag of the one
    module for every CPython from 3.6 on, whichever CPython builds it: cp36-abi3-linux_x86_64."""
    platform = sysconfig.get_platform()
    if platform == "linux-x86_64" and sys.maxsize <= 2**32:
        platform = "linux-i686"  # a 32-bit interpreter on a 64-bit kernel
    if stable_abi:
        return "-".join(_tag_part(part) for part in (
            "cp%d%d" % STABLE_ABI_VERSION, "abi3", platform))
    implementation = sys.implementation.name
    interpreter = (_INTERPRETER_ABBREVIATIONS.get(implementation, implementation) +
                   "%d%d" % sys.version_info[:2])
    # The ABI is the leading part of the extension suffix: '.cpython-36m-x86_64-linux-gnu.so'
    # gives cp36m, '.pypy39-pp73-x86_64-linux-gnu.so' pypy39_pp73.
    ext_suffix = sysconfig.get_config_var("EXT_SUFFIX") or ""
    parts = ext_suffix.split(".")
    if len(parts) != 3 or "-" not in parts[1]:
        raise BuildFailure("cannot name the ABI of %s from its extension suffix %r"
                           % (sys.executable, ext_suffix))
    fields = parts[1].split("-")
    abi = "cp" + fields[1] if fields[0] == "cpython" else "_".join(fields[:2])
    return "-".join(_tag_part(part) for part in (interpreter, abi, platform))


def _tag_part(text):
    return re.sub(r"[-.]", "_", text)


def _archive_base(project):
    """'zelk-0.1.0': the start of the archives' file names and of the .dist-info directory, with
    no '-' inside the name or the version (PEP 427)."""
    name = re.sub(r"[-_.]+", "_", project["name"]).lower()
    return "%s-%s" % (name, project["version"].replace("-", "_"))


# --- building the module -------------------------------------------------------------------------

# CMake's words for a tool that the build host lacks, and the one line that says so.
_MISSING_TOOLS = (
    (r"No CMAKE_CXX_COMPILER could be found|CMAKE_CXX_COMPILER:\s+\S+\s+is not a full path",
     "no C++ compiler found; install one (Debian: g++) or name it in CXX"),
    (r"unable to find a build program|CMAKE_MAKE_PROGRAM is not set",
     "CMake found no build tool; install make (Debian: make)"),
    (r"(CMake [0-9.]+ or higher is required)\.\s+You are running version ([0-9.]+)",
     r"\1; the cmake on PATH is \2"),
)


def _build_module(build_dir, stable_abi=False):
    """Configures the project's CMake in build_dir for the running interpreter, builds the zelk
    target alone (no tests) and returns the path of the module: with stable_abi, zelk.abi3.so
    built against the stable ABI (CMake option ZELK_STABLE_ABI)."""
    cmake = shutil.which("cmake")
    if not cmake:
        raise BuildFailure("no cmake on PATH; building zelk needs CMake (Debian: cmake)")
    include = sysconfig.get_path("include") or ""
    if not os.path.isfile(os.path.join(include, "Python.h")):
        raise BuildFailure("%s has no development headers (no Python.h in %s); install them "
                           "(Debian: python3-dev)" % (sys.executable, include))
    configured = _run_cmake([cmake, "-S", ROOT, "-B", build_dir,
                             "-DPython3_EXECUTABLE=" + sys.executable, "-DBUILD_TESTING=OFF",
                             "-DZELK_STABLE_ABI=" + ("ON" if stable_abi else "OFF")],
                            "configuring")
    # A CPython newer than any the module was checked against is read through its documented
    # C API alone: CMake says so in one line, passed on to the build's log.
    for line in configured.splitlines():
        if line.startswith("-- zelk uses the documented C API only"):
            sys.stderr.write(line[len("-- "):] + "\n")
    _run_cmake([cmake, "--build", build_dir, "--target", "zelk"], "building")
    suffix = ".abi3.so" if stable_abi else sysconfig.get_config_var("EXT_SUFFIX")
    module = os.path.join(build_dir, "zelk" + suffix)
    if not os.path.isfile(module):
        made = sorted(name for name in os.listdir(build_dir) if name.startswith("zelk."))
        raise BuildFailure("CMake made %s, not the %s that %s imports" % (
            " ".join(made) or "no module", os.path.basename(module), sys.executable))
    return module


def _run_cmake(command, doing):
    """Runs a CMake step; its output when it succeeded."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          encoding="utf-8", errors="replace")
    if done.returncode == 0:
        return done.stdout
    for pattern, message in _MISSING_TOOLS:
        found = re.search(pattern, done.stdout)
        if found:
            raise BuildFailure(found.expand(message))
    sys.stderr.write(done.stdout)
    raise BuildFailure("%s the module failed (CMake's output above)" % doing)


# --- archives ------------------------------------------------------------------------------------


def _source_date_epoch():
    """Every archive entry's timestamp, so that two builds of one commit give the same bytes."""
    value = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
    if not value:
        return ZIP_EPOCH
    if not value.isdigit():
        raise BuildFailure("SOURCE_DATE_EPOCH=%r is not a whole number of seconds" % value)
    return int(value)


def _write_wheel(file, payload, metadata, record):
    """The wheel's entries in sorted order, the .dist-info last and RECORD at the very end."""
    date_time = time.gmtime(max(_source_date_epoch(), ZIP_EPOCH))[:6]
    rows = []
    with zipfile.ZipFile(file, "w") as archive:
        for name, data, mode in sorted(payload) + sorted(metadata):
            _add_to_zip(archive, name, data, mode, date_time)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            rows.append((name, "sha256=" + digest.decode("ascii"), str(len(data))))
        rows.append((record, "", ""))
        text = io.StringIO()
        csv.writer(text, lineterminator="\n").writerows(rows)
        _add_to_zip(archive, record, text.getvalue().encode("utf-8"), 0o644, date_time)


def _add_to_zip(archive, name, data, mode, date_time):
    info = zipfile.ZipInfo(name, date_time)
    info.external_attr = (0o100000 | mode) << 16  # a regular file with these permissions
    info.compress_type = zipfile.ZIP_DEFLATED
    archive.writestr(info, data)


def _sdist_sources(project):
    paths = list(SDIST_FILES)
    paths.extend(path for path in license_files(project) if path not in paths)
    for directory in SDIST_DIRECTORIES:
        for parent, subdirectories, files in os.walk(os.path.join(ROOT, directory)):
            subdirectories[:] = [name for name in subdirectories if name != "__pycache__"]
            relative = os.path.relpath(parent, ROOT).replace(os.sep, "/")
            paths.extend(relative + "/" + name for name in files if not name.startswith("."))
    missing = [path for path in paths if not os.path.isfile(os.path.join(ROOT, path))]
    if missing:
        raise BuildFailure("the source tree lacks %s" % ", ".join(missing))
    return paths


def _write_sdist(file, base, entries):
    epoch = _source_date_epoch()
    with gzip.GzipFile(filename="", mode="wb", fileobj=file, mtime=epoch) as compressed:
        with tarfile.open(fileobj=compressed, mode="w", format=tarfile.PAX_FORMAT) as archive:
            for name, data in entries:
                info = tarfile.TarInfo(base + "/" + name)
                info.size = len(data)
                info.mtime = epoch
                info.mode = 0o644
                archive.addfile(info, io.BytesIO(data))


def _write_atomically(path, write):
    """Writes path through a temporary file beside it: a failed build leaves no partial archive."""
    handle, partial = tempfile.mkstemp(prefix=".zelk-", suffix=".partial",
                                       dir=os.path.dirname(os.path.abspath(path)))
    try:
        with os.fdopen(handle, "wb") as file:
            write(file)
        os.chmod(partial, 0o644)
        os.replace(partial, path)
    except BaseException:
        if os.path.exists(partial):
            os.unlink(partial)
        raise


def _read_bytes(path):
    with open(path, "rb") as file:
        return file.read()


def _read_text(path):
    try:
        with io.open(path, encoding="utf-8") as file:
            return file.read()
    except (IOError, OSError) as error:
        raise BuildFailure("cannot read %s: %s" % (path, error.strerror or error))


# --- the part of TOML that pyproject.toml uses ---------------------------------------------------

_TOML_SPACE = re.compile(r"(?:[ \t\r\n]|#[^\n]*)*")  # blanks, line ends and comments
_TOML_LINE_END = re.compile(r"[ \t]*(?:#[^\n]*)?(?:\r?\n|$)")
_TOML_TABLE = re.compile(r"\[[ \t]*([A-Za-z0-9_-]+(?:\.[A-Za-z0-9_-]+)*)[ \t]*\]")
_TOML_KEY = re.compile(r"([A-Za-z0-9_-]+)[ \t]*=[ \t]*")
_TOML_STRINGS = (re.compile(r'"((?:[^"\\\n]|\\.)*)"'), re.compile(r"'([^'\n]*)'"))
_TOML_ESCAPES = {"b": "\b", "t": "\t", "n": "\n", "f": "\f", "r": "\r", '"': '"', "\\": "\\"}


def parse_toml(text):
    """Tables, bare keys, strings, booleans and arrays of them: what pyproject.toml holds here.
    Anything else is refused with its line number rather than misread."""
    document = {}
    table = document
    position = _TOML_SPACE.match(text).end()
    while position < len(text):
        header = _TOML_TABLE.match(text, position)
        if header:
            table = document
            for name in header.group(1).split("."):
                table = table.setdefault(name, {})
            position = header.end()
        else:
            key = _TOML_KEY.match(text, position)
            if not key or key.group(1) in table:
                raise _toml_error(text, position)
            table[key.group(1)], position = _toml_value(text, key.end())
        line_end = _TOML_LINE_END.match(text, position)
        if not line_end:
            raise _toml_error(text, position)
        position = _TOML_SPACE.match(text, line_end.end()).end()
    return document


def _toml_value(text, position):
    for pattern in _TOML_STRINGS:
        string = pattern.match(text, position)
        if string:
            body = string.group(1)
            if pattern is _TOML_STRINGS[0]:
                body = re.sub(r"\\(u[0-9A-Fa-f]{4}|U[0-9A-Fa-f]{8}|.)", _toml_unescape, body)
            return body, string.end()
    for word, value in (("true", True), ("false", False)):
        if re.match(word + r"\b", text[position:position + 6]):
            return value, position + len(word)
    if not text.startswith("[", position):
        raise _toml_error(text, position)
    items = []
    position = _TOML_SPACE.match(text, position + 1).end()
    while not text.startswith("]", position):
        item, position = _toml_value(text, position)
        items.append(item)
        position = _TOML_SPACE.match(text, position).end()
        if text.startswith(",", position):
            position = _TOML_SPACE.match(text, position + 1).end()
        elif not text.startswith("]", position):
            raise _toml_error(text, position)
    return items, position + 1


def _toml_unescape(escape):
    code = escape.group(1)
    if code[0] in "uU" and len(code) > 1:
        return chr(int(code[1:], 16))
    if code not in _TOML_ESCAPES:
        raise BuildFailure("pyproject.toml: unknown escape \\%s" % code)
    return _TOML_ESCAPES[code]


def _toml_error(text, position):
    line = text.count("\n", 0, position) + 1
    found = text[position:].split("\n", 1)[0]
    return BuildFailure("pyproject.toml line %d: cannot read %r (backend/zelk_build.py reads "
                        "tables, keys, strings, booleans and arrays)" % (line, found))


# --- the command ---------------------------------------------------------------------------------

_COMMANDS = {"wheel": build_wheel, "sdist": build_sdist}


def main(arguments):
    arguments = list(arguments)
    config_settings = {}
    if arguments[:1] == ["wheel"] and "--stable-abi" in arguments:
        arguments.remove("--stable-abi")
        config_settings["stable-abi"] = "true"
    if len(arguments) not in (1, 2) or arguments[0] not in _COMMANDS or \
            arguments[-1].startswith("-"):
        sys.stderr.write("usage: python3 backend/zelk_build.py "
                         "{wheel [--stable-abi]|sdist} [DIRECTORY]\n")
        return 2
    try:
        _require_supported_interpreter()
    except BuildFailure as failure:
        _report(failure)
        return 1
    directory = arguments[1] if len(arguments) == 2 else "dist"
    if not os.path.isdir(directory):
        os.makedirs(directory)
    name = _COMMANDS[arguments[0]](directory, config_settings)
    sys.stdout.write(os.path.join(directory, name) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
