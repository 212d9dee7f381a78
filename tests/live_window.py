"""A windowed Blender with the add-on enabled from a fresh user folder, for
the live-export tests and benchmark (tools/window.py runs the window)."""
import atexit
import contextlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "python"))

import hosts  # noqa: E402
from window import Blender, Display, missing_host  # noqa: E402,F401

HOSTS = ("blender-3.4", "blender-4.3")
FOLDERS = {"blender-3.4": "3.4", "blender-4.3": "4.3"}
_package = []


def install_addon(home, host):
    """The add-on (tests/hosts.py: with norvik for every host's interpreter) in
    ``home``'s user scripts of ``host``."""
    if not _package:
        folder = tempfile.mkdtemp(prefix="norvik-addon-")
        atexit.register(shutil.rmtree, folder, True)
        _package.append(hosts.make_addon_dir(pathlib.Path(folder)))
    addons = os.path.join(home, ".config", "blender", FOLDERS[host], "scripts", "addons")
    shutil.rmtree(os.path.join(addons, "norvik_exporter"), ignore_errors=True)
    shutil.copytree(os.path.join(_package[0], "norvik_exporter"),
                    os.path.join(addons, "norvik_exporter"))


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
def live_blender(host, home, blend=None, display=None, log=None, viewport_aa='OFF', addon=True):
    """Blender ``host`` with a window, the add-on enabled (unless not ``addon``:
    then it is not even installed); ``home`` is its user folder.

    Under llvmpipe each redraw of the 3D View takes a good part of a second,
    and Blender's default anti-aliasing redraws it several times after each
    change: ``viewport_aa`` (a preference; None keeps Blender's) turns that off.
    """
    os.makedirs(home, exist_ok=True)
    if addon:
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
        if addon:
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
