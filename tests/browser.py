"""Debian's Chromium, headless, driven through Selenium; and the viewer's
server as a user starts it (the viewer tests and bench/bench_viewer.py)."""
import base64
import os
import platform
import queue
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

from hosts import ROOT, missing

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
# The browser tests run once: in the main suite (tools/test.sh, the project's
# .venv on Linux x86_64). Other interpreters, the sanitizer run, wine and qemu
# skip them.
main_suite = pytest.mark.skipif(
    not sys.platform.startswith("linux") or platform.machine() != "x86_64"
    or os.path.realpath(sys.prefix) != os.path.realpath(os.path.join(ROOT, ".venv"))
    or bool(os.environ.get("NORVIK_SANITIZED")),
    reason="the browser tests run once, in the main suite on Linux x86_64")
# WebGL in headless Chromium without a GPU: SwiftShader through ANGLE.
FLAGS = ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu-sandbox",
         "--enable-unsafe-swiftshader", "--use-angle=swiftshader", "--hide-scrollbars",
         "--no-first-run", "--disable-extensions", "--mute-audio"]


def chromium(width=1000, height=700):
    """A headless Chromium with a window of ``width`` x ``height``; ``missing()``
    (a skip, a failure in CI) when it or Selenium is not installed."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        missing("Selenium is not installed (tools/viewer_setup.sh)")
    if not (os.path.exists(CHROMIUM) and os.path.exists(DRIVER)):
        missing("Debian's chromium and chromium-driver are not installed (tools/viewer_setup.sh)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS + ["--window-size=%d,%d" % (width, height)]:
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(DRIVER), options=options)


def python_env():
    """The environment in which the viewer finds the source tree's norvik_records."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.join(ROOT, "python")] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))


class Viewer:
    """``python -m norvik_records.view DOCUMENT --no-browser`` in a process of its own."""

    def __init__(self, document, *args):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "norvik_records.view", str(document), "--no-browser", *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=python_env())
        self.lines = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(line) for line in self.process.stdout],
                         daemon=True).start()
        first = self.readline(15)
        assert first.startswith("norvik viewer: http://127.0.0.1:"), (first, self.stop())
        self.url = first.split()[2]
        self.port = int(self.url.rstrip("/").rsplit(":", 1)[1])

    def readline(self, timeout):
        """The next line of its standard output ("" when none came in ``timeout`` seconds)."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return ""

    def stop(self, sig=signal.SIGTERM):
        """Ends the server with ``sig``; its exit status and error output."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        return self.process.returncode, self.process.stderr.read()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def wait_for(driver, condition, timeout=10.0, what="the page"):
    """Polls ``condition(info)`` on the page's ``norvikViewer.info()`` until true; the info."""
    end = time.monotonic() + timeout
    while True:
        info = driver.execute_script("return window.norvikViewer && window.norvikViewer.info()")
        if info and condition(info):
            return info
        if time.monotonic() > end:
            raise AssertionError("%s did not come within %.0f s: %r" % (what, timeout, info))
        time.sleep(0.02)


def pixels(driver, as_shown=False):
    """The canvas drawn again (or ``as_shown``): (height, width, 4) uint8, top row first."""
    import numpy as np
    shot = driver.execute_script("return window.norvikViewer.pixels(%s)" % str(as_shown).lower())
    rgba = np.frombuffer(base64.b64decode(shot["rgba"]), np.uint8)
    return rgba.reshape(shot["height"], shot["width"], 4)[::-1]


def demo_documents(folder):
    """The demo scene's documents, exported by Debian's Blender as tools/setup.sh does."""
    if shutil.which("blender") is None:
        missing("Debian's blender is not installed (tools/setup_blender.sh)")
    run = subprocess.run([os.path.join(ROOT, "tools", "blender_export.sh"), str(folder)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
    assert run.returncode == 0, run.stdout
    return os.path.join(str(folder), "demo.json")
