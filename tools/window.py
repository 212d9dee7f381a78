"""Blender with a window on a virtual display, driven as a user would.

    with Display() as display, Blender(display, "blender-3.4", blend=PATH) as blender:
        blender.click_viewport()            # Blender learns where the pointer is
        blender.key("F3"); blender.type("norvik"); blender.key("Return")
        blender.call("result = bpy.app.version_string")

``Display`` runs Xvfb (Mesa's llvmpipe gives it OpenGL); ``Blender`` starts
Debian's Blender 3.4 ("blender-3.4") or Debian 13's Blender 4.3 in its root
("blender-4.3", tools/blender43) on it with tools/window_agent.py, through
which ``call`` runs code inside Blender's event loop. Keys and clicks go
through xdotool to the display, so Blender sees real X events. Both hosts
are installed by tools/window_hosts.sh.
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AGENT = os.path.join(ROOT, "tools", "window_agent.py")
HOSTS = ("blender-3.4", "blender-4.3")
SIZE = (1600, 1000)


class WindowError(RuntimeError):
    pass


def missing_host(host):
    """Why ``host`` cannot run here, or None."""
    if not shutil.which("Xvfb") or not shutil.which("xdotool"):
        return "Xvfb and xdotool are not installed (tools/window_hosts.sh)"
    if host == "blender-3.4" and not shutil.which("blender"):
        return "Debian's blender is not installed (tools/window_hosts.sh)"
    if host == "blender-4.3" and not os.path.exists(os.path.join(ROOT, "build", "trixie",
                                                                 ".norvik-root")):
        return "the Debian 13 root with Blender 4.3 is not set up (tools/window_hosts.sh)"
    return None


def host_command(host):
    """The command that starts ``host``'s Blender program."""
    if host == "blender-3.4":
        return [shutil.which("blender") or "blender"]
    if host == "blender-4.3":
        return [os.path.join(ROOT, "tools", "blender43")]
    raise ValueError("unknown windowed host %r (one of %s)" % (host, ", ".join(HOSTS)))


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Display:
    """An Xvfb display of its own (the first free number from 77)."""

    def __init__(self, size=SIZE):
        self.size = size
        self.name = None
        self.process = None

    def __enter__(self):
        for number in range(77, 177):
            if os.path.exists("/tmp/.X11-unix/X%d" % number) or \
                    os.path.exists("/tmp/.X%d-lock" % number):
                continue
            self.process = subprocess.Popen(
                ["Xvfb", ":%d" % number, "-screen", "0", "%dx%dx24" % self.size, "-dpi", "96",
                 "-nolisten", "tcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.process.poll() is None:
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    self.name = ":%d" % number
                    return self
                time.sleep(0.05)
            self.process.kill()
            self.process.wait()
        raise WindowError("no Xvfb display could be started")

    def __exit__(self, *exc):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def env(self, base=None):
        env = dict(os.environ if base is None else base, DISPLAY=self.name)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def xdotool(self, *args):
        run = subprocess.run(["xdotool", *map(str, args)], env=self.env(),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
        if run.returncode:
            raise WindowError("xdotool %s: %s" % (" ".join(map(str, args)), run.stderr.strip()))
        return run.stdout

    def screenshot(self, path, crop=None):
        """The whole display (or ``crop``: left, top, width, height) as a PNG."""
        args = ["import", "-window", "root"]
        if crop:
            args += ["-crop", "%dx%d+%d+%d" % (crop[2], crop[3], crop[0], crop[1]), "+repage"]
        subprocess.run(args + [path], env=self.env(), check=True, timeout=60)
        return path

    def pixels(self, crop=None):
        """The display (or ``crop``) as an (height, width, 3) uint8 array."""
        import numpy as np
        args = ["import", "-window", "root"]
        if crop:
            args += ["-crop", "%dx%d+%d+%d" % (crop[2], crop[3], crop[0], crop[1]), "+repage"]
        raw = subprocess.run(args + ["-depth", "8", "ppm:-"], env=self.env(), check=True,
                             stdout=subprocess.PIPE, timeout=60).stdout
        # Binary PPM: "P6", width, height, maximum, one white-space byte, then the pixels.
        head = raw.split(maxsplit=4)
        width, height = int(head[1]), int(head[2])
        body = raw[len(raw) - width * height * 3:]
        return np.frombuffer(body, np.uint8).reshape(height, width, 3)


class Blender:
    """Blender ``host`` with a window on ``display``, started on ``blend`` (or
    the factory scene) with the agent; ``env`` adds to its environment (HOME
    for a fresh user folder, say); ``log`` gets what it prints."""

    def __init__(self, display, host, blend=None, env=None, args=(), log=None, start_timeout=120,
                 factory=True):
        self.display = display
        self.host = host
        self.port = _free_port()
        self.log_path = log or tempfile.mktemp(prefix="blender-", suffix=".log")
        command = host_command(host)
        if factory:
            command.append("--factory-startup")
        if blend:
            command.append(blend)
        command += ["--window-geometry", "0", "0", str(display.size[0]), str(display.size[1]),
                    *args, "--python", AGENT, "--", str(self.port)]
        self.command = command
        self.env = display.env(dict(os.environ, **(env or {})))
        self.start_timeout = start_timeout
        self.process = None
        self.window_id = None

    # -- life -----------------------------------------------------------------

    def __enter__(self):
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(self.command, stdout=self._log, stderr=subprocess.STDOUT,
                                        env=self.env, start_new_session=True)
        deadline = time.monotonic() + self.start_timeout
        while True:
            if self.process.poll() is not None:
                raise WindowError("Blender ended at start-up (status %s):\n%s"
                                  % (self.process.returncode, self.output()[-4000:]))
            try:
                self.call("result = len(bpy.context.window_manager.windows)", timeout=5)
                break
            except (OSError, WindowError):
                if time.monotonic() > deadline:
                    self.close()
                    raise WindowError("Blender's window did not answer in %d s:\n%s"
                                      % (self.start_timeout, self.output()[-4000:]))
                time.sleep(0.25)
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.process is not None and self.process.poll() is None:
            try:
                os.killpg(self.process.pid, 15)
                self.process.wait(15)
            except (subprocess.TimeoutExpired, ProcessLookupError):
                try:
                    os.killpg(self.process.pid, 9)
                except ProcessLookupError:
                    pass
                self.process.wait()
        if getattr(self, "_log", None):
            self._log.close()

    def output(self):
        """What Blender has printed so far."""
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    # -- inside Blender -------------------------------------------------------

    def call(self, code, timeout=120):
        """Runs ``code`` inside Blender's event loop; the value of its ``result``."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as conn:
            conn.sendall((json.dumps({"code": code}) + "\n").encode())
            data = b""
            while not data.endswith(b"\n"):
                chunk = conn.recv(1 << 20)
                if not chunk:
                    raise WindowError("Blender closed the connection:\n%s" % self.output()[-4000:])
                data += chunk
        reply = json.loads(data)
        if not reply["ok"]:
            raise WindowError("inside Blender:\n" + reply["error"])
        return reply["value"]

    def wait_for(self, code, timeout=60, interval=0.25, what=None):
        """Calls ``code`` until its ``result`` is true; that value."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.call(code)
            if value:
                return value
            if time.monotonic() > deadline:
                raise WindowError("timed out waiting for %s" % (what or code))
            time.sleep(interval)

    def idle(self, turns=3):
        """Waits until the event loop has turned ``turns`` times (redraws done)."""
        for _ in range(turns):
            self.call("result = 1")

    # -- the user's hands -----------------------------------------------------

    def window(self):
        """Blender's main X window (found once)."""
        if self.window_id is None:
            found = ""
            deadline = time.monotonic() + 30
            while not found and time.monotonic() < deadline:
                try:
                    found = self.display.xdotool("search", "--pid", self.process.pid, "--name",
                                                 "Blender").split()
                except WindowError:
                    found = ""
                if not found:
                    try:
                        found = self.display.xdotool("search", "--name", "Blender").split()
                    except WindowError:
                        time.sleep(0.25)
            if not found:
                raise WindowError("no Blender window on the display")
            self.window_id = found[-1]
        return self.window_id

    def move(self, x, y, settle=0.1):
        # (xdotool's --sync waits for a motion event, which never comes when
        # the pointer is already there.)
        self.display.xdotool("mousemove", x, y)
        time.sleep(settle)

    def click(self, x, y, button=1, pause=0.3):
        """A click at x, y after the pointer has rested there: Blender
        highlights a button on hover, and a press that comes before the
        highlight may be taken for the button left behind."""
        self.move(x, y, settle=0.2)
        self.idle(2)                    # the motion handled: the loop has turned since
        self.display.xdotool("click", button)
        time.sleep(pause)
        self.idle(1)

    def key(self, *keys, pause=0.5):
        for k in keys:
            self.display.xdotool("key", "--clearmodifiers", k)
            time.sleep(pause)
            self.idle(1)

    def type(self, text, pause=0.5):
        self.display.xdotool("type", "--delay", 60, text)
        time.sleep(pause)

    def rect(self, code):
        """Screen rectangle of the region that ``code`` puts into ``region`` (and
        ``win``, its window; default the main window): left, top, width, height."""
        return self.call(code + "\nresult = screen_rect(region, globals().get('win'))")

    def click_viewport(self):
        """A click into an empty spot of the 3D View, as a user's first: Blender
        learns where the pointer is (and the splash screen closes)."""
        left, top, width, height = self.rect(
            "region = region_of(areas('VIEW_3D')[0])\nwin = window()")
        # Low and left, clear of the toolbar and of the splash screen in the middle.
        self.click(left + width // 8, top + height * 7 // 8)
        self.move(left + width // 2, top + height // 2)

    def screenshot(self, path):
        return self.display.screenshot(path)

    def window_origin(self, title):
        """Top left of the newest X window whose title holds ``title``."""
        found = self.display.xdotool("search", "--name", title).split()
        if not found:
            raise WindowError("no window named %r" % title)
        shell = self.display.xdotool("getwindowgeometry", "--shell", found[-1])
        fields = dict(line.split("=", 1) for line in shell.split() if "=" in line)
        return int(fields["X"]), int(fields["Y"])

    def checkboxes(self, rect, strip=48):
        """Centres of the check boxes at the left of ``rect`` (left, top, width,
        height on the screen), top to bottom, and whether each is ticked.

        A check box is a small filled square that stands out from the
        region's background (its commonest colour) in the ``strip`` pixels at
        the left; a ticked one is filled with the theme's blue."""
        import numpy as np
        left, top, width, height = rect
        image = self.display.pixels((left, top, min(strip, width), height)).astype(np.int16)
        flat = image.reshape(-1, 3)
        colours, counts = np.unique(flat, axis=0, return_counts=True)
        background = colours[np.argmax(counts)]
        mask = np.abs(image - background).max(axis=2) > 10
        seen = np.zeros_like(mask)
        found = []
        for y, x in zip(*np.nonzero(mask)):
            if seen[y, x]:
                continue
            stack, ys, xs = [(y, x)], [], []
            seen[y, x] = True
            while stack:
                cy, cx = stack.pop()
                ys.append(cy)
                xs.append(cx)
                for ny, nx in ((cy + 1, cx), (cy - 1, cx), (cy, cx + 1), (cy, cx - 1)):
                    if 0 <= ny < mask.shape[0] and 0 <= nx < mask.shape[1] and \
                            mask[ny, nx] and not seen[ny, nx]:
                        seen[ny, nx] = True
                        stack.append((ny, nx))
            h, w = max(ys) - min(ys) + 1, max(xs) - min(xs) + 1
            # A box fills its square but for rounded corners; a letter does not.
            if 9 <= h <= 24 and 9 <= w <= 24 and abs(h - w) <= 2 and len(ys) >= 0.8 * h * w:
                cy, cx = (max(ys) + min(ys)) // 2, (max(xs) + min(xs)) // 2
                r, g, b = image[cy, cx]
                found.append((left + cx, top + cy, bool(b > r + 40 and b > g + 20)))
        return sorted(found, key=lambda f: f[1])


if __name__ == "__main__":      # a quick look: start a host, take a screenshot
    host = sys.argv[1] if len(sys.argv) > 1 else "blender-3.4"
    out = sys.argv[2] if len(sys.argv) > 2 else "window.png"
    with Display() as d, Blender(d, host) as b:
        time.sleep(3)
        b.click_viewport()
        b.idle()
        print(b.call("result = bpy.app.version_string"), d.screenshot(out))
