"""Shows a scene document and its camera document in the browser, following live export.

    python -m norvik_records.view DOCUMENT [--port PORT] [--no-browser]

A small server, bound to 127.0.0.1 only, serves one page (the files of the
``viewer`` folder beside this module) and the two documents: the scene
document and the camera document beside it, named as the exporter names it.
It follows the documents as ``python -m norvik_records.watch`` does: each
new version is read whole and checked as ``python -m norvik_records.check``
does; the page polls ``/version`` and draws only versions that passed.

Only the page's own files, ``/scene.json``, ``/cameras.json`` and
``/version`` are served; anything else is 404, and a request whose Host
header is not this server's own address is refused (403), so that a page
from elsewhere cannot read the documents through DNS rebinding.  Nothing is
ever written.  Ends with status 0 on SIGINT or SIGTERM; a port that is
taken ends it with status 1.
"""
import argparse
import collections
import concurrent.futures
import errno
import json
import multiprocessing
import os
import signal
import socket
import subprocess
import sys
import threading
import webbrowser
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .addon import camera_path_for
from .check import DocumentError, check_cameras, check_scene
from .watch import identity

__all__ = ["camera_path_for", "Document", "ViewerServer", "launch", "main"]

PAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "viewer")
# The page's files: the only names under which anything of the disk is served.
PAGE_FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/index.html": ("index.html", "text/html; charset=utf-8"),
    "/viewer.js": ("viewer.js", "text/javascript; charset=utf-8"),
    "/viewer.css": ("viewer.css", "text/css; charset=utf-8"),
    "/loader.js": ("loader.js", "text/javascript; charset=utf-8"),
}
POLL_SECONDS = 0.1
RECENT_VERSIONS = 8
# Where another process opens a file this one holds open (Linux), by pid and descriptor.
OPEN_FILES = "/proc/%d/fd/%d" if sys.platform.startswith("linux") and os.path.isdir("/proc/self/fd") \
    else None
SHOWN_PROBLEMS = 50     # a page of them: the page asks for the status four times a second


class Document:
    """The latest complete version of one document, and what its check found.

    ``poll()`` reads a version whose file identity changed; a version is kept
    only when the identity was the same before and after it was read and
    checked, so that the bytes served are those that were checked.
    """

    def __init__(self, path, kind, check):
        self.path = path
        self.kind = kind            # "scene" or "cameras"
        self._check = check         # check(kind, path) -> (summary lines, problems)
        self._lock = threading.Lock()
        self.seen = None            # identity of the version below
        self.data = None            # its bytes (None: no document)
        self.state = "reading"      # "reading" (not yet looked at), "missing", "checking",
        #                             "ok" or "invalid"
        self.problems = []
        self.lines = 0
        self.written = None         # its modification time (seconds since the epoch)
        self.error = None           # what went wrong in the follower itself
        # The verdicts of the last versions checked, by ETag: the page may have
        # read one that was replaced while it read it.
        self.recent = collections.OrderedDict()

    @property
    def etag(self):
        return None if self.seen is None else "%x-%x-%x-%x" % self.seen

    def snapshot(self):
        with self._lock:
            return self.etag, self.data

    def status(self):
        with self._lock:
            problems = self.problems[:SHOWN_PROBLEMS]
            if len(self.problems) > SHOWN_PROBLEMS:
                problems.append("and %d more problems" % (len(self.problems) - SHOWN_PROBLEMS))
            return {"etag": self.etag, "state": self.state, "problems": problems,
                    "objects": self.lines, "bytes": None if self.data is None else len(self.data),
                    "written": self.written, "error": self.error, "recent": dict(self.recent),
                    "name": os.path.basename(self.path)}

    def poll(self):
        """Reads and checks a new version, if there is one; True when something changed."""
        now = identity(self.path)
        if now == self.seen and self.state != "reading":
            return False
        if now is None:
            with self._lock:
                self.seen, self.data, self.state = None, None, "missing"
                self.problems, self.lines, self.written, self.error = [], 0, None, None
            return True
        try:
            f = open(self.path, "rb")
        except OSError as exc:
            if identity(self.path) != now:
                return False        # replaced or removed meanwhile: the next poll reads it
            with self._lock:
                self.seen, self.data, self.state, self.written = now, None, "invalid", None
                self.problems, self.lines = ["cannot be read: %s" % (exc.strerror or exc)], 0
            return True
        with f:
            try:
                data = f.read()
                written = os.stat(self.path).st_mtime
            except OSError:
                return False
            if identity(self.path) != now:
                return False
            with self._lock:
                # Served at once, so that the page reads it while it is checked here.
                self.seen, self.data, self.state, self.written = now, data, "checking", written
                self.problems, self.lines, self.error = [], 0, None
            if OPEN_FILES:
                # The checker reads the very file read here, even if it is
                # replaced meanwhile (live export during a drag): every
                # version checked gets its verdict.
                lines, problems = self._check(self.kind, OPEN_FILES % (os.getpid(), f.fileno()))
                exact = True
        if not OPEN_FILES:
            # Elsewhere the file is let go at once (on Windows an open file
            # cannot be replaced); the verdict holds only if it stayed in place.
            lines, problems = self._check(self.kind, self.path)
            exact = identity(self.path) == now
        if not exact:
            return True             # a newer version came meanwhile: the next poll checks it
        with self._lock:
            if self.seen != now:
                return True
            self.state = "invalid" if problems else "ok"
            self.problems, self.lines = problems, lines
            self.recent[self.etag] = {"state": self.state, "written": written}
            while len(self.recent) > RECENT_VERSIONS:
                self.recent.popitem(last=False)
        return True


def checked(kind, path):
    """(number of summary lines, problems) of a scene or camera document."""
    try:
        return len((check_scene if kind == "scene" else check_cameras)(path)), []
    except DocumentError as exc:
        return 0, exc.problems


def _checker_start():
    # Ctrl-C reaches the whole process group: the server ends the checker itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


class Checker:
    """Checks documents in a process of its own: the checker's JSON parsing
    holds the interpreter lock for as long as a large document takes, and
    the server must meanwhile answer the page, and serve it that document."""

    def __init__(self):
        self._pool = None
        self._closed = False

    def _start(self, fork=False):
        # Forked, the checker is ready at once (numpy already imported); only
        # safe while this process has a single thread (warm(), on Linux).
        context = multiprocessing.get_context("fork" if fork else "spawn")
        self._pool = concurrent.futures.ProcessPoolExecutor(1, context, initializer=_checker_start)

    def __call__(self, kind, path):
        for attempt in range(2):
            if self._closed:
                return 0, ["the viewer is ending"]
            try:
                if self._pool is None:
                    self._start()
                return self._pool.submit(checked, kind, path).result()
            except (concurrent.futures.process.BrokenProcessPool, OSError):
                self._pool = None           # the checker died: another one, once
        return checked(kind, path)

    def warm(self):
        """Starts the checker now, so that the first document does not wait for it."""
        try:
            if self._pool is None:
                self._start(fork=sys.platform.startswith("linux")
                            and threading.active_count() == 1)
            self._pool.submit(int)
        except (concurrent.futures.process.BrokenProcessPool, OSError):
            self._pool = None

    def close(self):
        """Ends the checker at once, also in the middle of a check."""
        self._closed = True
        if self._pool is not None:
            for process in list((getattr(self._pool, "_processes", None) or {}).values()):
                process.terminate()
            self._pool.shutdown(wait=True, cancel_futures=True)


class ViewerServer(ThreadingHTTPServer):
    """The viewer's HTTP server on 127.0.0.1; ``port`` 0 takes a free port."""

    daemon_threads = True
    # A port in TIME_WAIT may be taken again on POSIX; on Windows the same
    # option would let a second server take a port that is in use.
    allow_reuse_address = sys.platform != "win32"

    def __init__(self, document, port=0):
        self.checker = Checker()
        self.scene = Document(os.path.abspath(document), "scene", self.checker)
        self.cameras = Document(camera_path_for(os.path.abspath(document)), "cameras", self.checker)
        self._stop = threading.Event()
        super().__init__(("127.0.0.1", port), _Handler)
        self.port = self.server_address[1]
        self.url = "http://127.0.0.1:%d/" % self.port
        self.hosts = {"127.0.0.1:%d" % self.port, "localhost:%d" % self.port}
        self._follower = threading.Thread(target=self._follow, name="norvik-view-follow",
                                          daemon=True)

    def server_bind(self):
        if sys.platform == "win32":
            # Without it Windows lets a second server bind the same port.
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_EXCLUSIVEADDRUSE, 1)
        super().server_bind()

    def start_following(self):
        """Reads and checks the documents from now on (the first time at once,
        in the background, so that the page may read a large one meanwhile)."""
        self.checker.warm()
        self._follower.start()

    def _follow(self):
        while True:
            for document in (self.scene, self.cameras):
                try:
                    document.poll()
                except Exception as exc:        # never let the follower die
                    document.error = "%s: %s" % (type(exc).__name__, exc)
            if self._stop.wait(POLL_SECONDS):
                return

    def handle_error(self, request, client_address):
        # A browser that goes away mid-answer (a page closed or reloaded) is no error.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)

    def server_close(self):
        self._stop.set()
        super().server_close()
        self.checker.close()


class _Handler(BaseHTTPRequestHandler):
    server_version = "norvik-view"
    sys_version = ""
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):       # quiet: the page shows what matters
        pass

    def do_HEAD(self):
        self._answer(head=True)

    def do_GET(self):
        self._answer(head=False)

    def _refuse(self, code, text):
        self._send(code, text.encode() + b"\n", "text/plain; charset=utf-8")

    def _answer(self, head):
        self._head = head
        if self.headers.get("Host", "").lower() not in self.server.hosts:
            return self._refuse(403, "Host not allowed")
        path = self.path.split("?", 1)[0]
        if path in PAGE_FILES:
            name, kind = PAGE_FILES[path]
            try:
                with open(os.path.join(PAGE_DIR, name), "rb") as f:
                    body = f.read()
            except OSError:
                return self._refuse(404, "Not found")
            return self._send(200, body, kind)
        if path == "/version":
            body = json.dumps({"scene": self.server.scene.status(),
                               "cameras": self.server.cameras.status()}).encode()
            return self._send(200, body, "application/json")
        documents = {"/scene.json": self.server.scene, "/cameras.json": self.server.cameras}
        if path in documents:
            etag, data = documents[path].snapshot()
            if data is None:
                return self._refuse(404, "No document at %s" % documents[path].path)
            return self._send(200, data, "application/json", etag)
        return self._refuse(404, "Not found")

    def _send(self, code, body, kind, etag=None):
        self.send_response(code)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("Content-Security-Policy",
                         "default-src 'self'; style-src 'self'; img-src 'self' data:; "
                         "frame-ancestors 'none'")
        if etag:
            self.send_header("ETag", '"%s"' % etag)
        self.end_headers()
        if not self._head:
            self.wfile.write(body)

    def send_error(self, code, message=None, explain=None):
        # Malformed requests and other methods: a short answer, without the default page.
        self._head = self.command == "HEAD"
        self.close_connection = True
        self._refuse(code, message or "Error")


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _interpreter():
    """The Python interpreter that runs this code, as a program.  Inside Blender
    ``sys.executable`` is no guide: Blender itself, or whatever ``python3.x``
    comes first on PATH (Debian's Blender 3.4 names a pyenv shim there), so
    the interpreter beside the running one's own prefix comes first."""
    version = "%d.%d" % sys.version_info[:2]
    if sys.platform == "win32":
        names = [os.path.join(folder, name) for folder in ("", "bin")
                 for name in ("python.exe", "python%s.exe" % version.replace(".", ""))]
    else:
        names = [os.path.join("bin", name) for name in ("python" + version, "python3", "python")]
    candidates = [os.path.join(prefix, name)
                  for prefix in dict.fromkeys((sys.exec_prefix, sys.prefix,
                                               sys.base_exec_prefix, sys.base_prefix))
                  for name in names]
    candidates += [sys.executable, getattr(sys, "_base_executable", None)]
    for path in candidates:
        if path and os.path.basename(path).lower().startswith("python") and os.path.isfile(path) \
                and os.access(path, os.X_OK):
            return path
    raise FileNotFoundError("no Python %s interpreter found beside %s" % (version, sys.prefix))


def launch(document_path, port=None):
    """Starts the viewer of ``document_path`` in a process of its own and returns
    ``(process, url)`` at once; the viewer opens the browser when it listens.

    The process runs this package with the interpreter that runs this code, on
    this interpreter's module path, detached from the caller (its own session
    or process group; no standard streams shared), so that the caller never
    waits on it.  It runs in the folder that holds this package (``-m`` puts
    the working folder first on the module path: never the documents'
    folder).  It ends when the caller ends it (``process.terminate()``) or
    receives SIGINT/SIGTERM.  Raises OSError when it cannot be started (no
    interpreter found, or none that runs).
    """
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    package = os.path.basename(os.path.dirname(os.path.abspath(__file__)))
    port = port or _free_port()
    paths = [package_parent] + [os.path.abspath(p) for p in sys.path if p and os.path.isdir(p)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(dict.fromkeys(paths)))
    command = [_interpreter(), "-m", package + ".view", os.path.abspath(document_path),
               "--port", str(port)]
    options = {}
    if sys.platform == "win32":
        options["creationflags"] = (subprocess.DETACHED_PROCESS
                                    | subprocess.CREATE_NEW_PROCESS_GROUP)
    else:
        options["start_new_session"] = True
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               close_fds=True, cwd=package_parent,
                               **options)
    return process, "http://127.0.0.1:%d/" % port


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m norvik_records.view",
                                description=__doc__.splitlines()[0])
    p.add_argument("document", help="the scene document (its camera document is found beside it)")
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    p.add_argument("--no-browser", action="store_true", help="do not open the browser")
    args = p.parse_args(argv)
    if not 0 <= args.port <= 65535:
        p.error("--port must be between 0 and 65535")
    try:
        server = ViewerServer(args.document, args.port)
    except OSError as exc:
        if exc.errno in (errno.EADDRINUSE, getattr(errno, "WSAEADDRINUSE", -1)) or \
                getattr(exc, "winerror", None) == 10048:
            print("norvik viewer: port %d on 127.0.0.1 is taken; choose another with --port, "
                  "or leave it out for a free one" % args.port, file=sys.stderr)
        else:
            print("norvik viewer: cannot listen on 127.0.0.1:%d: %s"
                  % (args.port, exc.strerror or exc), file=sys.stderr)
        return 1

    def stop(number, frame):
        # shutdown() waits for serve_forever() to return, so not from this thread.
        threading.Thread(target=server.shutdown, daemon=True).start()

    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, stop)
    server.start_following()
    print("norvik viewer: %s (%s)" % (server.url, server.scene.path), flush=True)
    if not os.path.exists(server.scene.path):
        print("norvik viewer: no document at %s yet; the page waits for it" % server.scene.path,
              flush=True)
    if not args.no_browser:
        threading.Thread(target=webbrowser.open, args=(server.url,), daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
