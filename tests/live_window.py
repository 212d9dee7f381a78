"""A windowed Blender with the add-on enabled from a fresh user folder, for
the live-export tests and benchmark (tools/window.py runs the window)."""
import contextlib
import glob
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "python"))

from window import Blender, Display, missing_host, python_for  # noqa: E402

HOSTS = ("blender-3.4", "blender-4.3")
FOLDERS = {"blender-3.4": "3.4", "blender-4.3": "4.3"}
_builds = {}


def native_build(host):
    """norvik built for ``host``'s CPython: a path, or the reason there is none."""
    version = python_for(host)
    if version not in _builds:
        if version == "3.11":
            pattern = os.path.join(ROOT, ".venv", "lib", "python3.11", "site-packages",
                                   "norvik.cpython-311-*.so")
        else:
            run = subprocess.run(["bash", os.path.join(ROOT, "tools", "build_python.sh"), version],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            if run.returncode:
                _builds[version] = "norvik could not be built for CPython %s: %s" % (
                    version, run.stderr.strip()[-500:])
                return _builds[version]
            pattern = os.path.join(os.path.dirname(os.path.dirname(run.stdout.strip())), "lib",
                                   "python" + version, "site-packages", "norvik.cpython-*.so")
        found = glob.glob(pattern)
        _builds[version] = found[0] if found else "norvik is not built for CPython " + version
    return _builds[version]


def missing(host):
    """Why ``host`` cannot run the live tests here, or None."""
    reason = missing_host(host)
    if reason:
        return reason
    build = native_build(host)
    return None if os.path.isfile(build) else build


def install_addon(home, host):
    """The add-on, its norvik_records copy and norvik in ``home``'s user scripts."""
    package = os.path.join(home, ".config", "blender", FOLDERS[host], "scripts", "addons",
                           "norvik_exporter")
    shutil.rmtree(package, ignore_errors=True)
    shutil.copytree(os.path.join(ROOT, "addon", "norvik_exporter"), package,
                    ignore=shutil.ignore_patterns("__pycache__", "*.so", "norvik_records"))
    shutil.copytree(os.path.join(ROOT, "python", "norvik_records"),
                    os.path.join(package, "norvik_records"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(native_build(host), package)


# Inside Blender: the live module, its status and the scene's settings.
HELPERS = r'''
import importlib
live = lambda: importlib.import_module("norvik_exporter.live")
status = lambda: live().state.status.as_dict()
settings = lambda: bpy.context.scene.norvik_live
def configure(**values):
    for key, value in values.items():
        setattr(settings(), key, value)
'''


@contextlib.contextmanager
def live_blender(host, home, blend=None, display=None, log=None, viewport_aa='OFF'):
    """Blender ``host`` with a window, the add-on enabled; ``home`` is its user folder.

    Under llvmpipe each redraw of the 3D View takes a good part of a second,
    and Blender's default anti-aliasing redraws it several times after each
    change: ``viewport_aa`` (a preference; None keeps Blender's) turns that off.
    """
    os.makedirs(home, exist_ok=True)
    install_addon(home, host)
    with contextlib.ExitStack() as stack:
        if display is None:
            display = stack.enter_context(Display())
        b = stack.enter_context(Blender(display, host, blend=blend, log=log,
                                        env={"HOME": home}))
        time.sleep(3 if host == "blender-3.4" else 8)
        b.click_viewport()
        if viewport_aa:
            b.call("bpy.context.preferences.system.viewport_aa = %r" % viewport_aa)
        b.call("bpy.ops.preferences.addon_enable(module='norvik_exporter')\n" + HELPERS)
        b.idle()
        yield b


def demo_blend(path, out):
    """The demo scene saved as ``path`` (by Debian's Blender 3.4, headless)."""
    subprocess.run(["blender", "-b", "--factory-startup", "--python",
                    os.path.join(ROOT, "addon", "norvik_exporter", "cli.py"), "--",
                    "--save-demo", path, "--out", out], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.STDOUT, timeout=300)
    return path
