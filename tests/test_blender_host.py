"""The add-on in real hosts: Debian's Blender 3.4, Debian 13's Blender 4.3
(tools/window_hosts.sh) and the bpy modules of tools/hosts.sh (4.2, 4.5, 5.0
on CPython 3.11; 5.3 on CPython 3.13).

Each script under tests/blender/ runs in the host, exports the demo scene
through the add-on and norvik, and compares the result with Blender's own
data; it exits non-zero when a check fails.  The add-on is assembled in a
temporary folder with norvik built for every interpreter the hosts run.
"""
import importlib.util
import os
import platform
import shutil
import subprocess

import pytest

from hosts import BPY_HOSTS, HOSTS, ROOT, WINDOWS, host_python, host_ready, missing

SCRIPTS = os.path.join(ROOT, "tests", "blender")

# Every host set up here is an x86_64 build (Debian's Blender, the bpy
# wheels): on another processor there is none, in CI too.
pytestmark = pytest.mark.skipif(
    platform.machine() not in ("x86_64", "AMD64"),
    reason="no Blender host is set up for %s (the hosts are x86_64 builds)" % platform.machine())


def _host_command(host):
    if host in ("blender-3.4", "blender-4.3"):
        if not host_ready(host):
            missing("%s is not installed (tools/setup_blender.sh, tools/window_hosts.sh)" % host)
        blender = shutil.which("blender") if host == "blender-3.4" else \
            os.path.join(ROOT, "tools", "blender43")
        return lambda script: [blender, "-b", "--factory-startup", "--python-exit-code", "1",
                               "--python", script]
    python = host_python(host)
    if not os.path.exists(python):
        missing("%s is not installed in .hosts (tools/setup_blender.sh, tools/test_windows.sh)"
                % host)
    return lambda script: [python, script]


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


@pytest.mark.parametrize("host", sorted(BPY_HOSTS) + ([] if WINDOWS else ["blender-4.3"]))
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
