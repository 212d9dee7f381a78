"""The viewer (python -m norvik_records.view) in headless Chromium: the demo
scene drawn where the documents place it, seen through its cameras, picked;
new versions followed; the server's refusals and its lifecycle."""
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

from browser import Viewer, chromium, demo_documents, main_suite, pixels, python_env, wait_for
from hosts import ROOT

sys.path.insert(0, os.path.join(ROOT, "python"))
from norvik_records import check  # noqa: E402

pytestmark = main_suite
BACKGROUND = np.array([30, 32, 36])


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    return demo_documents(tmp_path_factory.mktemp("demo"))


@pytest.fixture(scope="module")
def driver():
    d = chromium()
    yield d
    d.quit()


def open_page(driver, viewer):
    driver.get(viewer.url)
    return wait_for(driver, lambda i: i["firstPicture"], 15, "the first picture")


# ---- what the documents say, worked out here ----

def world_triangles(doc):
    """name -> (n, 3, 3) triangles in engine units: each placement (column
    order) applied to the section's own positions."""
    out = {}
    for name, s in doc.items():
        v = np.array(s["vertices"], float).reshape(-1, 3)
        tris = v[np.array(s["indices"], int).reshape(-1, 3)]
        places = s.get("instances", [[100, 0, 0, 0, 0, 100, 0, 0, 0, 0, 100, 0, 0, 0, 0, 1]])
        mats = np.array(places, float).reshape(-1, 4, 4).transpose(0, 2, 1)     # row-major
        out[name] = np.concatenate([tris @ m[:3, :3].T + m[:3, 3] for m in mats]) \
            if len(mats) else np.zeros((0, 3, 3))
    return out


def camera_view_projection(camera, width, height):
    """The view-projection of a camera as the engine reads it: its matrix's
    axes (unit scale taken out), looking down -Z, the fov horizontal in degrees."""
    m = np.array(camera["matrix"], float).reshape(4, 4).T
    axes = m[:3, :3] / np.linalg.norm(m[:3, :3], axis=0)
    pose = np.eye(4)
    pose[:3, :3], pose[:3, 3] = axes, m[:3, 3]
    aspect = width / height
    fov_y = 2 * np.arctan(np.tan(np.radians(camera["fov"]) / 2) / aspect)
    f, near, far = 1 / np.tan(fov_y / 2), 1.0, 1e6
    projection = np.array([[f / aspect, 0, 0, 0], [0, f, 0, 0],
                           [0, 0, (far + near) / (near - far), 2 * far * near / (near - far)],
                           [0, 0, -1, 0]])
    return projection @ np.linalg.inv(pose)


def coverage(triangles, view_projection, width, height):
    """Pixels (height, width) that the triangles cover."""
    from PIL import Image, ImageDraw
    image = Image.new("L", (width, height))
    draw = ImageDraw.Draw(image)
    points = np.concatenate([triangles.reshape(-1, 3), np.ones((triangles.size // 3, 1))], axis=1)
    clip = points @ view_projection.T
    in_front = (clip[:, 3] > 0).reshape(-1, 3).all(axis=1)
    ndc = clip[:, :2] / np.maximum(clip[:, 3:], 1e-9)
    screen = np.stack([(ndc[:, 0] + 1) / 2 * width, (1 - ndc[:, 1]) / 2 * height], axis=1)
    for tri, ok in zip(screen.reshape(-1, 3, 2), in_front):
        if ok:
            draw.polygon([tuple(p) for p in tri], fill=255)
    return np.array(image) > 0


def grown(mask, by):
    out = mask.copy()
    for dy in range(-by, by + 1):
        for dx in range(-by, by + 1):
            out |= np.roll(np.roll(mask, dy, 0), dx, 1)
    return out


def is_background(image):
    return (np.abs(image[..., :3].astype(int) - BACKGROUND) <= 2).all(axis=-1)


def assert_drawn_where(image, covered, what):
    """Object pixels where the triangles are, background elsewhere (edges aside)."""
    inside = ~grown(~covered, 2)
    outside = ~grown(covered, 2)
    assert inside.sum() > 500 and outside.sum() > 500, what
    background = is_background(image)
    assert background[inside].mean() < 0.01, "%s: %.1f%% of the objects' pixels are background" \
        % (what, 100 * background[inside].mean())
    assert background[outside].mean() > 0.99, "%s: %.1f%% of the background has something drawn" \
        % (what, 100 * (1 - background[outside].mean()))


def totals_shown(driver):
    cells = driver.find_elements("css selector", "[data-total]")
    return {c.get_attribute("data-total"): c.text for c in cells}


def counted(path):
    """Objects, vertices, triangles, placements, as check reads them."""
    lines = check.check_scene(path)
    sums = np.zeros(3, int)
    for line in lines:
        words = line.rsplit(": ", 1)[1].replace(",", "").split()
        sums += [int(words[0]), int(words[2]), int(words[4])]
    return [len(lines)] + sums.tolist()


def click_canvas(driver, x, y):
    from selenium.webdriver.common.action_chains import ActionChains
    canvas = driver.find_element("id", "view")
    # The offset counts from the element's centre.
    ActionChains(driver).move_to_element_with_offset(
        canvas, x - canvas.size["width"] // 2, y - canvas.size["height"] // 2).click().perform()


def test_demo_scene_drawn_as_the_engine_places_it(demo, driver):
    """Totals, every object where its placements put it (the orbit view and
    both cameras, in engine units), picking and framing by clicks, the view modes."""
    doc = json.load(open(demo))
    cameras = json.load(open(demo.replace(".json", "_cameras.json")))
    triangles = world_triangles(doc)
    everything = np.concatenate(list(triangles.values()))
    with Viewer(demo) as viewer:
        open_page(driver, viewer)
        # The first picture (drawn while the server checked) is the scene as drawn now.
        assert (pixels(driver, as_shown=True) == pixels(driver)).all()
        objects, vertices, tris, placements = counted(demo)
        assert totals_shown(driver) == {
            "objects": str(objects), "vertices": "{:,}".format(vertices),
            "triangles": "{:,}".format(tris), "placements": str(placements),
            "bytes": "{:,}".format(os.path.getsize(demo)),
            "written": totals_shown(driver)["written"]}
        assert totals_shown(driver)["written"] not in ("", "–")
        legend = [li.get_attribute("data-material") for li in driver.find_elements("css selector", "#legend li")]
        assert sorted(legend) == sorted({s["material"] for s in doc.values()})

        # Normals as colours never give the background's colour.
        driver.find_element("css selector", '[data-mode="normals"]').click()
        image = pixels(driver)
        height, width = image.shape[:2]
        info = wait_for(driver, lambda i: i["mode"] == "normals")
        orbit = np.array(info["viewProjection"]).reshape(4, 4).T
        assert_drawn_where(image, coverage(everything, orbit, width, height), "orbit view")

        seen = {}
        for name, camera in cameras.items():
            driver.find_element("css selector", '[data-camera="%s"] button' % name).click()
            wait_for(driver, lambda i: i["through"] == name)
            image = pixels(driver)
            vp = camera_view_projection(camera, width, height)
            assert_drawn_where(image, coverage(everything, vp, width, height), "camera " + name)
            seen[name] = is_background(image)
        first, second = seen.values()
        assert (first != second).mean() > 0.05       # two cameras, two views

        # Picking: a pixel only one object covers, clicked, names it.
        driver.find_element("id", "frame-all").click()
        wait_for(driver, lambda i: i["through"] is None)
        orbit = np.array(pixels(driver) is not None and
                         wait_for(driver, lambda i: True)["viewProjection"]).reshape(4, 4).T
        masks = {n: coverage(t, orbit, width, height) for n, t in triangles.items()}
        alone = {n: ~grown(~m, 3) & ~np.any([grown(o, 3) for k, o in masks.items() if k != n], axis=0)
                 for n, m in masks.items()}
        for name in sorted(alone, key=lambda n: alone[n].sum())[-2:]:
            ys, xs = np.nonzero(alone[name])
            k = len(ys) // 2
            click_canvas(driver, xs[k], ys[k])
            info = wait_for(driver, lambda i: i["picked"] == name, 5, "picking " + name)
            shown = dict(row.text.split(" ", 1)
                         for row in driver.find_elements("css selector", "#picked tr"))
            section = doc[name]
            assert shown["Material"] == (section["material"] or "(none)")
            assert shown["Vertices"] == "{:,}".format(len(section["vertices"]) // 3)
            assert shown["Triangles"] == "{:,}".format(len(section["indices"]) // 3)
            assert shown["Placements"] == str(len(section.get("instances", [])))
        # Frame picked: the view turns to the picked object's placements.
        driver.find_element("id", "frame-picked").click()
        target = wait_for(driver, lambda i: True)["orbit"]["target"]
        picked = triangles[name].reshape(-1, 3)
        assert np.allclose(target, (picked.min(axis=0) + picked.max(axis=0)) / 2, atol=0.01)

        # Checker and wireframe change the objects' pixels, not the background.
        before = pixels(driver)
        for button in ('[data-mode="checker"]', "#wireframe"):
            driver.find_element("css selector", button).click()
            after = pixels(driver)
            changed = (after != before).any(axis=-1)
            assert changed.mean() > 0.01 and not changed[is_background(before) & is_background(after)].any()
            before = after


def replace(path, text):
    """A new version put in place as the exporter does: written beside it, then renamed."""
    part = str(path) + ".part"
    with open(part, "w") as f:
        f.write(text)
    os.replace(part, path)


def etag_of(path):
    st = os.stat(path)
    return "%x-%x-%x-%x" % (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def test_follows_new_versions_keeping_the_view(demo, driver, tmp_path):
    """Replaced by rename: shown within 1 s, the view kept, the page says so; a
    version that fails the check is not drawn (its problem shown, the last good
    scene kept); removed, the page waits; new cameras are listed."""
    target = tmp_path / "scene.json"
    original = open(demo).read()
    replace(target, original)
    replace(tmp_path / "scene_cameras.json", open(demo.replace(".json", "_cameras.json")).read())
    doc = json.loads(original)
    with Viewer(target) as viewer:
        first = open_page(driver, viewer)
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(driver).move_to_element(driver.find_element("id", "view")) \
            .click_and_hold().move_by_offset(60, 25).release().perform()
        view = wait_for(driver, lambda i: i["orbit"] != first["orbit"])["orbit"]

        # Suzanne placed 40 times, turned and squashed: too many vertices to
        # bake, so drawn instanced; the crates gone.
        moved = {k: v for k, v in doc.items() if k != "Scatter.Crate"}
        turn = np.array([[0, -1, 0, 0], [1, 0, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]], float)
        moved["Suzanne"] = dict(moved["Suzanne"], instances=[
            (np.diag([60, 100, 40, 1]) @ (turn if k % 2 else np.eye(4)) + np.array(
                [[0, 0, 0, 250 * (k % 8) - 900], [0, 0, 0, 250 * (k // 8) - 500], [0] * 4, [0] * 4])
             ).T.reshape(-1).tolist() for k in range(40)])
        start = time.monotonic()
        replace(target, json.dumps(moved))
        info = wait_for(driver, lambda i: i["etag"] != first["etag"], 5, "the new version")
        assert time.monotonic() - start < 1.0
        assert info["orbit"] == view and info["drawCalls"] == 2
        assert "Updated" in driver.find_element("id", "status").text
        assert totals_shown(driver)["objects"] == str(len(moved))
        assert totals_shown(driver)["placements"] == str(sum(len(v["instances"]) for v in moved.values()))
        driver.find_element("css selector", '[data-mode="normals"]').click()
        image = pixels(driver)
        vp = np.array(wait_for(driver, lambda i: i["mode"] == "normals")["viewProjection"]).reshape(4, 4).T
        everything = np.concatenate(list(world_triangles(moved).values()))
        assert_drawn_where(image, coverage(everything, vp, image.shape[1], image.shape[0]), "instanced")

        # Versions in quick succession, as live export writes them during a drag:
        # the page keeps showing some of them, and the last.
        shown = info["versions"]
        for k in range(30):
            moved["Suzanne"]["instances"][0][12] = 10.0 * k
            replace(target, json.dumps(moved))
            time.sleep(0.05)
        info = wait_for(driver, lambda i: i["etag"] == etag_of(target), 5, "the last version")
        assert info["versions"] - shown >= 3

        broken = json.loads(original)
        broken["Suzanne"]["indices"][4] = 10 ** 6
        replace(target, json.dumps(broken))
        problems = driver.find_element("id", "problems")
        deadline = time.monotonic() + 5
        while "is not below the vertex count" not in problems.text and time.monotonic() < deadline:
            time.sleep(0.05)
        assert 'object "Suzanne": index 1000000 is not below the vertex count' in problems.text
        assert "last good version" in problems.text
        assert wait_for(driver, lambda i: True)["etag"] == info["etag"]
        assert totals_shown(driver)["objects"] == str(len(moved))

        os.remove(target)
        status = driver.find_element("id", "status")
        deadline = time.monotonic() + 5
        while "Waiting" not in status.text and time.monotonic() < deadline:
            time.sleep(0.05)
        assert "scene.json: no document (showing the last one)" in status.text
        replace(target, original)
        info = wait_for(driver, lambda i: i["totals"]["objects"] == len(doc), 5, "the repaired one")
        assert driver.find_element("id", "problems").text == ""

        cameras = {"Top": {"fov": 60.0, "matrix": [100, 0, 0, 0, 0, 100, 0, 0, 0, 0, 100, 0,
                                                   0, 0, 2000, 1]}}
        replace(tmp_path / "scene_cameras.json", json.dumps(cameras))
        wait_for(driver, lambda i: i["cameras"] == ["Top"], 5, "the new camera document")


def request(port, path, host=None, method="GET"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
    connection.putheader("Host", "127.0.0.1:%d" % port if host is None else host)
    connection.endheaders()
    response = connection.getresponse()
    return response.status, response.read()


def test_server_refuses_and_ends_cleanly(demo, driver, tmp_path):
    """Only the page and the documents; no other Host; 127.0.0.1 only; a missing
    document waited for; a taken port is exit status 1; SIGINT and SIGTERM 0."""
    target = tmp_path / "later.json"
    with Viewer(target) as viewer:
        assert "no document at %s yet" % target in viewer.readline(5)
        port = viewer.port
        driver.get(viewer.url)
        notice = driver.find_element("id", "notice")
        deadline = time.monotonic() + 5
        while "no document there yet" not in notice.text and time.monotonic() < deadline:
            time.sleep(0.05)
        assert notice.text == ("Waiting for later.json: there is no document there yet. "
                               "The page shows it when it appears.")
        replace(target, open(demo).read())
        wait_for(driver, lambda i: i["firstPicture"], 10, "the document that came later")

        for path in ("/", "/viewer.js", "/loader.js", "/viewer.css", "/scene.json", "/version",
                     "/index.html?x=1"):
            assert request(port, path)[0] == 200, path
        assert request(port, "/", host="localhost:%d" % port)[0] == 200
        assert request(port, "/cameras.json")[0] == 404          # none beside this one
        secret = open(os.path.join(ROOT, "python", "norvik_records", "view.py"), "rb").read()
        for path in ("/../view.py", "/%2e%2e/view.py", "/..%2fview.py", "/%2E%2E%2Fview.py",
                     "/viewer/../view.py", "//view.py", "/view.py", "/viewer/", "/viewer",
                     "/viewer/index.html", "/index.html/..", "/./index.html", "/%69ndex.html",
                     "/..\\view.py", "/..%5cview.py", "/scene.json/../../later.json",
                     "/later.json", "/%00", "/.git/config", "http://127.0.0.1/../view.py"):
            status, body = request(port, path)
            assert status == 404 and secret[:200] not in body, path
        for host in ("evil.example:%d" % port, "127.0.0.1:%d" % (port + 1), "127.0.0.1",
                     "attacker.localhost:%d" % port, ""):
            status, body = request(port, "/scene.json", host=host)
            assert status == 403 and b"Suzanne" not in body, host
        for method in ("POST", "PUT", "DELETE"):
            assert request(port, "/scene.json", method=method)[0] >= 400
        with socket.create_connection(("127.0.0.1", port)) as s:      # HTTP/1.0, no Host at all
            s.sendall(b"GET /scene.json HTTP/1.0\r\n\r\n")
            assert s.recv(64).startswith(b"HTTP/1.1 403")
        listening = [line.split()[1] for line in open("/proc/net/tcp").read().splitlines()[1:]
                     if line.split()[3] == "0A" and int(line.split()[1].split(":")[1], 16) == port]
        assert listening == ["0100007F:%04X" % port]
        assert sorted(os.listdir(tmp_path)) == ["later.json"]          # nothing written

        taken = subprocess.run([sys.executable, "-m", "norvik_records.view", str(target),
                                "--no-browser", "--port", str(port)], env=python_env(),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=30)
        assert taken.returncode == 1
        assert "port %d on 127.0.0.1 is taken" % port in taken.stderr
        assert viewer.stop(signal.SIGINT) == (0, "")
    with Viewer(target) as viewer:
        assert viewer.stop(signal.SIGTERM) == (0, "")


def test_launch_from_blender_detached(demo, tmp_path):
    """view.launch() inside Debian's Blender 3.4, from the add-on's vendored
    copy of norvik_records: Blender ends at once, the viewer serves and opens
    the browser on its address."""
    import shutil
    addon = tmp_path / "addons" / "norvik_exporter"
    shutil.copytree(os.path.join(ROOT, "python", "norvik_records"), addon / "norvik_records",
                    ignore=shutil.ignore_patterns("__pycache__"))
    (addon / "__init__.py").write_text("")
    opened = tmp_path / "opened"
    script = ("import sys; sys.path.insert(0, %r)\n"
              "from norvik_exporter.norvik_records import view\n"
              "process, url = view.launch(%r)\n"
              "print('LAUNCHED', process.pid, url, flush=True)\n") % (str(addon.parent), demo)
    env = dict(os.environ, BROWSER="%s -c \"import sys; open(%r, 'w').write(sys.argv[1])\" %%s"
               % (sys.executable, str(opened)))
    start = time.monotonic()
    run = subprocess.run(["blender", "-b", "--factory-startup", "--python-expr", script],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60,
                         env=env)
    assert time.monotonic() - start < 20 and run.returncode == 0, run.stdout
    _, pid, url = next(line for line in run.stdout.splitlines() if line.startswith("LAUNCHED")).split()
    try:
        deadline = time.monotonic() + 15
        while not (opened.exists() and opened.read_text()) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert opened.read_text() == url
        port = int(url.rstrip("/").rsplit(":", 1)[1])
        status, body = request(port, "/version")
        assert status == 200 and json.loads(body)["scene"]["name"] == "demo.json"
    finally:
        os.kill(int(pid), signal.SIGTERM)
