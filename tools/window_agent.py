"""Runs inside a Blender with a window and answers the harness of tools/window.py.

    blender --factory-startup --python window_agent.py -- PORT

A timer of Blender's event loop (persistent: it survives opening a .blend)
accepts connections on 127.0.0.1:PORT. Each request is one line of JSON,
{"code": SOURCE}; the source runs on Blender's main thread, between two
turns of the event loop, with the helpers below in its namespace, and the
reply is one line of JSON: {"ok": true, "value": <the variable `result`>} or
{"ok": false, "error": <traceback>}. Requests share one namespace, so a
request may leave names for later ones.
"""
import json
import os
import socket
import sys
import time
import traceback

import bpy

PORT = int(sys.argv[sys.argv.index("--") + 1])
POLL = 0.02

_server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
_server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
_server.bind(("127.0.0.1", PORT))
_server.listen(8)
_server.setblocking(False)
_pending = []           # [connection, bytes received so far]


# -- helpers for the requests -------------------------------------------------

def window():
    return bpy.context.window_manager.windows[0]


def areas(kind):
    """Areas of type ``kind`` in every window, the main window's first."""
    return [a for w in bpy.context.window_manager.windows for a in w.screen.areas
            if a.type == kind]


def region_of(area, kind='WINDOW'):
    return next(r for r in area.regions if r.type == kind)


def override(area=None, region='WINDOW', win=None):
    """A context override for operators that need an area (default: the 3D View)."""
    win = win or window()
    if area is None:
        area = next(a for a in win.screen.areas if a.type == 'VIEW_3D')
    found = region_of(area, region) if isinstance(region, str) else region
    return bpy.context.temp_override(window=win, area=area, region=found, screen=win.screen)


def screen_rect(region, win=None):
    """(left, top, width, height) of ``region`` in its window, counted from the
    window's top left as X does (Blender counts from the bottom left)."""
    win = win or window()
    return [region.x, win.height - (region.y + region.height), region.width, region.height]


def reports():
    """Every report of this session, oldest first (the Info editor's text)."""
    win = window()
    area = next(a for a in win.screen.areas if a.type in ('TIMELINE', 'DOPESHEET_EDITOR',
                                                            'OUTLINER', 'PROPERTIES'))
    old_type, old_ui = area.type, getattr(area, "ui_type", None)
    area.type = 'INFO'
    try:
        wm = bpy.context.window_manager
        wm.clipboard = ""
        with override(area, area.regions[-1], win):
            bpy.ops.info.select_all(action='SELECT')
            bpy.ops.info.report_copy()
        return [line for line in wm.clipboard.splitlines() if line.strip()]
    finally:
        area.type = old_type
        if old_ui:
            area.ui_type = old_ui


def file_browser():
    """The open file browser's space and window, or (None, None)."""
    for win in bpy.context.window_manager.windows:
        for area in win.screen.areas:
            if area.type == 'FILE_BROWSER':
                return area.spaces.active, win
    return None, None


_namespace = {"bpy": bpy, "os": os, "sys": sys, "time": time, "json": json,
              "window": window, "areas": areas, "region_of": region_of, "override": override,
              "screen_rect": screen_rect, "reports": reports, "file_browser": file_browser}


# -- the loop -----------------------------------------------------------------

def _answer(code):
    _namespace.pop("result", None)
    try:
        exec(compile(code, "<window request>", "exec"), _namespace)
        reply = {"ok": True, "value": _namespace.get("result")}
        json.dumps(reply)
    except BaseException:
        reply = {"ok": False, "error": traceback.format_exc()}
    return (json.dumps(reply, default=str) + "\n").encode()


def _serve():
    try:
        while True:
            conn, _ = _server.accept()
            conn.setblocking(False)
            _pending.append([conn, b""])
    except (BlockingIOError, InterruptedError):
        pass
    for item in list(_pending):
        conn, data = item
        try:
            chunk = conn.recv(1 << 20)
        except (BlockingIOError, InterruptedError):
            continue
        except OSError:
            chunk = b""
        if chunk:
            item[1] = data = data + chunk
            if not data.endswith(b"\n"):
                continue
        _pending.remove(item)
        if not chunk and not data:
            conn.close()
            continue
        reply = _answer(json.loads(data)["code"])
        conn.setblocking(True)
        try:
            conn.sendall(reply)
        except OSError:
            pass
        conn.close()
    return POLL


bpy.app.timers.register(_serve, first_interval=POLL, persistent=True)
print("norvik window agent listening on %d (Blender %s)" % (PORT, bpy.app.version_string),
      flush=True)
