# The Blender hosts the add-on is tested in (sourced by the tools that set
# them up and run them). One line per bpy host: name, CPython version, the
# pip requirement. Each gets its own virtual environment, .hosts/<name>, with
# the numpy its wheel brings; norvik is built for that interpreter by
# tools/build_python.sh. Debian's Blender 3.4.1 ("blender-3.4") runs on the
# system Python and is installed by apt.
BPY_HOSTS=(
    "bpy-4.2 3.11 bpy==4.2.23"
    "bpy-4.5 3.11 bpy==4.5.15"
    "bpy-5.0 3.11 bpy==5.0.1"
    "bpy-5.3 3.13 bpy==5.3.0"
)

# Windows Blender (the win_amd64 bpy wheels) under wine, set up by
# tools/test_windows.sh in .hosts/<name> on a Windows CPython: name, CPython
# version, then every wheel it installs (without their own requirements).
# The numpy is the newest that wine 8 runs (numpy 2.2 on needs a UCRT
# function wine 8 lacks): for Blender 5.3 that is below the 2.2 its wheel
# asks for, which it runs with.
_WIN_BPY_LIBS="requests certifi charset_normalizer idna urllib3 zstandard"
WIN_BPY_HOSTS=(
    "win-bpy-4.2 3.11 bpy==4.2.23 numpy==2.0.2 $_WIN_BPY_LIBS"
    "win-bpy-4.5 3.11 bpy==4.5.15 numpy==1.26.4 $_WIN_BPY_LIBS"
    "win-bpy-5.0 3.11 bpy==5.0.1 numpy==1.26.4 $_WIN_BPY_LIBS"
    "win-bpy-5.3 3.13 bpy==5.3.0 numpy==2.1.3 cattrs attrs typing_extensions $_WIN_BPY_LIBS"
)
# The interpreter of a CPython version from pyenv (empty when missing).
pyenv_python() {
    ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python"$1" 2>/dev/null | tail -n1 || true
}

# Installs those of Debian's packages named that are missing (as root). One
# caller at a time: CI runs some stages side by side, and apt refuses to run
# twice at once.
ensure_packages() {
    (
        flock 8
        local missing=() p
        for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
        [ ${#missing[@]} -gt 0 ] || exit 0
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
            >/dev/null
    ) 8>/tmp/norvik-apt.lock
}
