"""The add-on in real hosts: Debian's Blender 3.4 and the bpy modules of
tools/hosts.sh (4.2, 4.5, 5.0 on CPython 3.11; 5.3 on CPython 3.13).

Each script under tests/blender/ runs in the host, exports the demo scene
through the add-on and norvik, and compares the result with Blender's own
data; it exits non-zero when a check fails.  The add-on is assembled in a
temporary folder with norvik built for every interpreter the hosts run.
"""
import glob
import importlib.util
import os
import platform
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPTS = os.path.join(ROOT, "tests", "blender")
WINDOWS = sys.platform == "win32"

# Every host set up here is an x86_64 build (Debian's Blender, the bpy
# wheels): on another processor there is none, in CI too.
pytestmark = pytest.mark.skipif(
    platform.machine() not in ("x86_64", "AMD64"),
    reason="no Blender host is set up for %s (the hosts are x86_64 builds)" % platform.machine())


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
HOSTS = sorted(BPY_HOSTS) if WINDOWS else ["blender-3.4"] + sorted(BPY_HOSTS)


def missing(reason):
    """A host or build that is not there: skipped, but a failure in CI, which sets them all up."""
    if os.environ.get("CI"):
        pytest.fail(reason + " (CI must run every host)")
    pytest.skip(reason)


def host_python(host):
    if WINDOWS:
        return os.path.join(ROOT, ".hosts", host, "python.exe")
    return os.path.join(ROOT, ".hosts", host, "bin", "python")


def _host_command(host):
    if host == "blender-3.4":
        blender = shutil.which("blender")
        if blender is None:
            missing("blender is not installed (tools/setup_blender.sh installs it)")
        return lambda script: [blender, "-b", "--factory-startup", "--python-exit-code", "1",
                               "--python", script]
    python = host_python(host)
    if not os.path.exists(python):
        missing("%s is not installed in .hosts (tools/setup_blender.sh, tools/test_windows.sh)"
                % host)
    return lambda script: [python, script]


def _native_builds():
    """norvik's binary for this interpreter and for every other one a host runs
    (built by tools/build_python.sh; on Windows taken from the wheels in
    NORVIK_WINDOWS_WHEELS)."""
    spec = importlib.util.find_spec("norvik")
    if spec is None or not spec.origin.endswith((".so", ".pyd")):
        missing("norvik is not built (tools/build.sh)")
    builds = [spec.origin]
    here = "%d.%d" % sys.version_info[:2]
    for version in sorted(set(BPY_HOSTS.values()) - {here}):
        if not any(os.path.exists(host_python(h)) for h, v in BPY_HOSTS.items() if v == version):
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


def run_host(command, tmp_path, **options):
    """Runs a host script: (exit status, what it printed).

    Its output goes into a file, not a pipe: under wine, the services that a
    Windows program starts may inherit a pipe and keep it open after the
    program has ended.
    """
    log = tmp_path.with_name(tmp_path.name + "-output.txt")     # beside --out, not in it
    with open(log, "wb") as f:
        run = subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, timeout=300,
                             cwd=str(tmp_path), **options)
    return run.returncode, log.read_bytes().decode("utf-8", "replace")


def detached():
    """subprocess options for a program with no console and no standard output,
    as Blender started from the desktop (Windows) or with stdout closed (POSIX)."""
    if WINDOWS:
        info = subprocess.STARTUPINFO(dwFlags=subprocess.STARTF_USESTDHANDLES)  # null handles
        return {"startupinfo": info, "creationflags": subprocess.DETACHED_PROCESS}
    return {"stdin": subprocess.DEVNULL, "stderr": subprocess.DEVNULL,
            "preexec_fn": lambda: os.close(1)}


@pytest.fixture(scope="session")
def addon_dir(tmp_path_factory):
    builds = _native_builds()
    root = tmp_path_factory.mktemp("addon")
    package = root / "norvik_exporter"
    shutil.copytree(os.path.join(ROOT, "addon", "norvik_exporter"), package,
                    ignore=shutil.ignore_patterns("__pycache__", "*.so", "norvik_records"))
    for so in builds:
        shutil.copy(so, package)
    shutil.copytree(os.path.join(ROOT, "python", "norvik_records"), package / "norvik_records",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return str(root)


@pytest.mark.parametrize("host", HOSTS)
@pytest.mark.parametrize("script", ["check_document.py", "check_obj.py",
                                    "check_tri_arrays.py", "check_operator.py",
                                    "check_nothing_lost.py", "check_object_types.py", "check_bulk_reads.py"])
def test_in_host(host, script, addon_dir, tmp_path):
    command = _host_command(host)(os.path.join(SCRIPTS, script))
    status, output = run_host(command + ["--", "--addon", addon_dir, "--out", str(tmp_path)],
                              tmp_path)
    assert status == 0, output[-6000:]
    assert " 0 failed" in output, output[-6000:]


@pytest.mark.parametrize("host", HOSTS)
def test_messages_are_captured_without_a_console(host, addon_dir, tmp_path):
    command = _host_command(host)(os.path.join(SCRIPTS, "check_capture.py"))
    run = subprocess.run(command + ["--", "--addon", addon_dir, "--out", str(tmp_path)],
                         timeout=300, cwd=str(tmp_path), **detached())
    report = tmp_path / "capture.txt"
    text = report.read_text(encoding="utf-8") if report.exists() else "(no report)"
    wine = "ok, messages lost: wine cannot reopen a stdout without a console"
    assert run.returncode == 0 and text in ("ok", wine), text
    if text != "ok":
        pytest.xfail(text)


def test_command_line_export_of_the_demo_scene(tmp_path):
    if WINDOWS:
        pytest.skip("Debian's Blender runs on Linux only")
    if shutil.which("blender") is None:
        missing("blender is not installed")
    if importlib.util.find_spec("norvik") is None:
        missing("norvik is not built")
    run = subprocess.run([os.path.join(ROOT, "tools", "blender_export.sh"), str(tmp_path),
                          "--check"],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout
    lines = run.stdout.splitlines()
    assert sum("] " in ln and "vertices" in ln for ln in lines) == 6, run.stdout
    assert any(ln.startswith("Exported 6 objects") and "2 cameras" in ln for ln in lines), run.stdout
    assert (tmp_path / "demo.json").stat().st_size > 100000
    assert (tmp_path / "demo_cameras.json").exists()
    assert "Checked: no problems" in lines, run.stdout


@pytest.fixture(scope="session")
def extension_zip(tmp_path_factory):
    if os.environ.get("NORVIK_EXTENSION_ZIP"):        # built beforehand (Windows has no bash)
        return os.environ["NORVIK_EXTENSION_ZIP"]
    out = tmp_path_factory.mktemp("extension") / "norvik_exporter.zip"
    run = subprocess.run(["bash", os.path.join(ROOT, "tools", "build_extension.sh"), str(out)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=900)
    assert run.returncode == 0, run.stdout
    return str(out)


@pytest.mark.parametrize("host", sorted(BPY_HOSTS))
def test_extension_installs_and_exports(host, extension_zip, tmp_path):
    """The extension zip, installed from a fresh user folder as a user would,
    exports through File > Export and through a collection's exporter."""
    command = _host_command(host)(os.path.join(SCRIPTS, "check_extension.py"))
    home = tmp_path / "home"
    home.mkdir()
    env = dict(os.environ, HOME=str(home))
    if WINDOWS:     # Blender's user folders live under the user's profile there
        env["BLENDER_USER_RESOURCES"] = str(home)
    env.pop("XDG_CONFIG_HOME", None)
    status, output = run_host(command + ["--", "--zip", extension_zip, "--out", str(tmp_path / "out")],
                              tmp_path, env=env)
    assert status == 0, output[-6000:]
    assert " 0 failed" in output, output[-6000:]
