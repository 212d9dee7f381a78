"""The real Blender hosts of the suite: which are set up, norvik built for
each interpreter they run, and the add-on and extension made from them."""
import glob
import importlib.util
import os
import platform
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINDOWS = sys.platform == "win32"


def _bpy_hosts(prefix):
    """name -> CPython version of the hosts in tools/hosts.sh whose name starts with prefix."""
    hosts = {}
    with open(os.path.join(ROOT, "tools", "hosts.sh")) as f:
        for line in f:
            words = line.strip().strip('"').split()
            if len(words) >= 3 and words[0].startswith(prefix):
                hosts[words[0]] = words[1]
    return hosts


# On Windows (tools/test_windows.sh): Windows Blender, the win_amd64 bpy wheels.
BPY_HOSTS = _bpy_hosts("win-bpy-" if WINDOWS else "bpy-")
# Whole Blender programs, not modules: Debian's 3.4 on the system CPython 3.11,
# Debian 13's 4.3 (CPython 3.13) in the root of tools/window_hosts.sh.
PROGRAM_HOSTS = {} if WINDOWS else {"blender-3.4": "3.11", "blender-4.3": "3.13"}
HOSTS = sorted(PROGRAM_HOSTS) + sorted(BPY_HOSTS)


# The windowed hosts (Debian's Blender 3.4 and Debian 13's 4.3 under Xvfb)
# exist on Linux x86_64 only: elsewhere (arm64 under qemu, Windows under
# wine) their tests skip, in CI too.
windowed = pytest.mark.skipif(
    not sys.platform.startswith("linux") or platform.machine() != "x86_64",
    reason="the windowed Blender hosts run on Linux x86_64 only")


def missing(reason):
    """A host or build that is not there: skipped, but a failure in CI, which sets them all up."""
    if os.environ.get("CI"):
        pytest.fail(reason + " (CI must run every host)")
    pytest.skip(reason)


def host_ready(host):
    """Whether ``host`` is set up here."""
    if host == "blender-3.4":
        return shutil.which("blender") is not None
    if host == "blender-4.3":
        return os.path.exists(os.path.join(ROOT, "build", "trixie", ".norvik-root"))
    return os.path.exists(host_python(host))


def host_python(host):
    if WINDOWS:
        return os.path.join(ROOT, ".hosts", host, "python.exe")
    return os.path.join(ROOT, ".hosts", host, "bin", "python")


def _native_builds():
    """norvik's binary for this interpreter and for every other one a host runs
    (built by tools/build_python.sh; on Windows taken from the wheels in
    NORVIK_WINDOWS_WHEELS)."""
    spec = importlib.util.find_spec("norvik")
    if spec is None or not spec.origin.endswith((".so", ".pyd")):
        missing("norvik is not built (tools/build.sh)")
    builds = [spec.origin]
    here = "%d.%d" % sys.version_info[:2]
    versions = dict(BPY_HOSTS, **PROGRAM_HOSTS)
    for version in sorted(set(versions.values()) - {here}):
        if not any(host_ready(h) for h, v in versions.items() if v == version):
            continue
        if WINDOWS:
            builds.append(_pyd_from_wheel(version))
            continue
        python = subprocess.run(["bash", os.path.join(ROOT, "tools", "build_python.sh"), version],
                                stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
        builds += glob.glob(os.path.join(os.path.dirname(os.path.dirname(python)), "lib",
                                         "python" + version, "site-packages", "norvik.cpython-*.so"))
    return builds


def _pyd_from_wheel(version):
    import tempfile
    import zipfile
    nodot = version.replace(".", "")
    wheels = glob.glob(os.path.join(os.environ.get("NORVIK_WINDOWS_WHEELS", ""),
                                    "norvik-*-cp%s-cp%s-win_amd64.whl" % (nodot, nodot)))
    if not wheels:
        missing("no norvik wheel for CPython %s (tools/build_wheels.sh windows-x64)" % version)
    with zipfile.ZipFile(wheels[0]) as z:
        name = next(n for n in z.namelist() if n.endswith(".pyd"))
        return z.extract(name, tempfile.mkdtemp())




def make_addon_dir(root):
    """The add-on package norvik_exporter under ``root``, with norvik built for
    this interpreter and every other one a host runs."""
    builds = _native_builds()
    package = root / "norvik_exporter"
    shutil.copytree(os.path.join(ROOT, "addon", "norvik_exporter"), package,
                    ignore=shutil.ignore_patterns("__pycache__", "*.so", "norvik_records"))
    for so in builds:
        shutil.copy(so, package)
    shutil.copytree(os.path.join(ROOT, "python", "norvik_records"), package / "norvik_records",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return str(root)


def make_extension_zip(out):
    if os.environ.get("NORVIK_EXTENSION_ZIP"):        # built beforehand (Windows has no bash)
        return os.environ["NORVIK_EXTENSION_ZIP"]
    run = subprocess.run(["bash", os.path.join(ROOT, "tools", "build_extension.sh"), str(out)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=900)
    assert run.returncode == 0, run.stdout
    return str(out)
