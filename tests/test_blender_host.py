"""The add-on in a real host: Debian's Blender 3.4 and the bpy 4.5 module.

Each script under tests/blender/ runs in the host, exports the demo scene
through the add-on and norvik, and compares the result with Blender's own
data; it exits non-zero when a check fails.  The add-on is assembled in a
temporary folder with the norvik built for this interpreter.
"""
import importlib.util
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPTS = os.path.join(ROOT, "tests", "blender")
BPY_PYTHON = os.path.join(ROOT, ".venv-bpy", "bin", "python")


def _host_command(host):
    if host == "blender-3.4":
        blender = shutil.which("blender")
        if blender is None:
            pytest.skip("blender is not installed (tools/setup_blender.sh installs it)")
        return lambda script: [blender, "-b", "--factory-startup", "--python-exit-code", "1",
                               "--python", script]
    if not os.path.exists(BPY_PYTHON):
        pytest.skip("the bpy module is not installed in .venv-bpy (tools/setup_blender.sh)")
    return lambda script: [BPY_PYTHON, script]


@pytest.fixture(scope="session")
def addon_dir(tmp_path_factory):
    spec = importlib.util.find_spec("norvik")
    if spec is None or not spec.origin.endswith(".so"):
        pytest.skip("norvik is not built (tools/build.sh)")
    root = tmp_path_factory.mktemp("addon")
    package = root / "norvik_exporter"
    shutil.copytree(os.path.join(ROOT, "addon", "norvik_exporter"), package,
                    ignore=shutil.ignore_patterns("__pycache__", "*.so", "norvik_records"))
    shutil.copy(spec.origin, package)
    shutil.copytree(os.path.join(ROOT, "python", "norvik_records"), package / "norvik_records",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return str(root)


@pytest.mark.parametrize("host", ["blender-3.4", "bpy-4.5"])
@pytest.mark.parametrize("script", ["check_document.py", "check_obj.py",
                                    "check_tri_arrays.py", "check_operator.py"])
def test_in_host(host, script, addon_dir, tmp_path):
    command = _host_command(host)(os.path.join(SCRIPTS, script))
    run = subprocess.run(command + ["--", "--addon", addon_dir, "--out", str(tmp_path)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         timeout=300, cwd=str(tmp_path))
    assert run.returncode == 0, run.stdout[-6000:]
    assert " 0 failed" in run.stdout, run.stdout[-6000:]


def test_command_line_export_of_the_demo_scene(tmp_path):
    if shutil.which("blender") is None:
        pytest.skip("blender is not installed")
    if importlib.util.find_spec("norvik") is None:
        pytest.skip("norvik is not built")
    run = subprocess.run([os.path.join(ROOT, "tools", "blender_export.sh"), str(tmp_path)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout
    lines = run.stdout.splitlines()
    assert sum("] " in ln and "vertices" in ln for ln in lines) == 6, run.stdout
    assert any(ln.startswith("Exported 6 objects") and "2 cameras" in ln for ln in lines), run.stdout
    assert (tmp_path / "demo.json").stat().st_size > 100000
    assert (tmp_path / "demo_cameras.json").exists()
