#!/usr/bin/env bash
# The test suite on Linux arm64 (aarch64), run by qemu-user on this x86_64
# machine: the manylinux aarch64 wheels (tools/build_wheels.sh linux-arm64,
# built first from the sources as they are) installed into arm64 Debian roots, each
# interpreter with a numpy and a pytest from PyPI, and the whole suite run from
# the checkout against the installed wheel (the C++ formatter and layout checks
# with the root's own g++). Installs what it needs (qemu, mmdebstrap) and keeps
# the roots under build/arm64 for the next run.
#   tools/test_arm64.sh [VERSION:numpyN ...]   default: 3.11:numpy1 3.11:numpy2 3.13:numpy2
# The combinations run side by side; each one's output follows when all are done.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work="$root/build/arm64"

# The Debian release with each CPython, and the numpy of each flavour: 1.26
# is what Blender 4.2 to 5.0 ship; numpy 2 is the newest on PyPI.
declare -A RELEASE=([3.11]=bookworm [3.13]=trixie)
declare -A NUMPY=([numpy1]="numpy==1.26.4" [numpy2]="numpy>=2,<3")
# What a root holds besides the essential packages: the interpreter, g++ for
# the C++ checks, mount(8) for the tmpfs test.
PACKAGES="python3,g++,mount"
# Under qemu a sparser sample of every bit pattern (each list length, the
# ties, the edges and negative zero are checked whatever the stride).
STRIDE=${NORVIK_FORMAT_STRIDE:-4999}

combos=("$@")
[ ${#combos[@]} -gt 0 ] || combos=(3.11:numpy1 3.11:numpy2 3.13:numpy2)
for combo in "${combos[@]}"; do
    v=${combo%%:*}
    if [ -z "${RELEASE[$v]:-}" ] || [ -z "${NUMPY[${combo#*:}]:-}" ] || [[ "$combo" != *:* ]]; then
        echo "unknown combination: $combo (VERSION:numpyN with VERSION ${!RELEASE[*]})" >&2
        exit 2
    fi
done

source tools/hosts.sh
ensure_packages qemu-user-static binfmt-support mmdebstrap arch-test
# Arm64 programs start through qemu (the kernel's binfmt_misc; qemu is opened
# when registered, so it need not be inside the roots). Its processor is the
# newest it knows but without pointer authentication: Debian 13 builds with
# branch protection, whose PAC instructions qemu computes the costly
# architected way (CPython ran 30 times slower); without the feature they are
# the no-ops they are on the many arm64 processors that lack it.
export QEMU_CPU=max,pauth=off
if ! grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-aarch64; then
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable qemu-aarch64
fi

mkdir -p "$work/logs"
exec 9>"$work/.lock"
flock 9
# Each job started in the background gets a process group of its own, which
# cleanup ends as a whole.
set -m

# Mount points at or below $1, deepest first.
mounts_under() {
    awk -v dir="$1" '{ path = $5; gsub(/\\040/, " ", path)
                       if (path == dir || index(path, dir "/") == 1) print path }' /proc/self/mountinfo |
        sort -r
}

# Unmounts everything at or below $1 (what a killed run may have left).
unmount_under() {
    local path
    while read -r path; do
        [ -n "$path" ] || continue
        umount "$path" 2>/dev/null || umount -l "$path"
    done < <(mounts_under "$1")
    [ -z "$(mounts_under "$1")" ] || { echo "cannot unmount what is below $1" >&2; exit 1; }
}

jobs_running=()
cleanup() {
    local pid
    for pid in "${jobs_running[@]}"; do kill -- -"$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for dir in "$work"/*/; do unmount_under "${dir%/}"; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cleanup

# The arm64 Debian root of a release: the essential packages and $PACKAGES,
# without documentation; made again when what it should hold has changed.
make_root() {
    local release=$1 dir="$work/$1" mirror recipe
    mirror=$(.venv/bin/python tools/cross.py mirror)
    recipe="mmdebstrap --arch=arm64 --variant=essential --include=$PACKAGES $release"
    [ "$(cat "$dir/.norvik-root" 2>/dev/null)" == "$recipe" ] && return 0
    echo "setting up the arm64 Debian root $release (from $mirror)"
    local start=$SECONDS
    for d in "$dir" "$dir.partial"; do
        unmount_under "$d"
        rm -rf "$d"
    done
    mmdebstrap --quiet --mode=root --arch=arm64 --variant=essential --include="$PACKAGES" \
        --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' "$release" "$dir.partial" "$mirror" \
        > "$work/logs/mmdebstrap-$release.log" 2>&1 ||
        { cat "$work/logs/mmdebstrap-$release.log" >&2; echo "setting up $release failed" >&2; exit 1; }
    chroot "$dir.partial" /usr/bin/python3 -c "import platform; assert platform.machine() == 'aarch64'"
    echo "$recipe" > "$dir.partial/.norvik-root"
    mv "$dir.partial" "$dir"
    echo "  $release: $((SECONDS - start)) s, $(du -sh "$dir" | cut -f1)"
}

# The glibc of a root as pip's platform tags: manylinux_2_17 up to its own.
manylinux_platforms() {
    local minor
    minor=$(chroot "$1" /usr/bin/getconf GNU_LIBC_VERSION | sed -n 's/^glibc 2\.\([0-9]*\)$/\1/p')
    [ -n "$minor" ] || { echo "no glibc version in $1" >&2; exit 1; }
    echo "--platform manylinux2014_aarch64"
    for ((m = 17; m <= minor; m++)); do echo "--platform manylinux_2_${m}_aarch64"; done
}

# A virtual environment /opt/venv-VERSION-numpyN in the root, holding that
# numpy, pytest and the norvik wheel (pip on this machine fetches the aarch64
# wheels); made again when the wheel or the requirements have changed.
make_env() {
    local combo=$1 v=${1%%:*} flavour=${1#*:} dir="$work/${RELEASE[${1%%:*}]}"
    local nodot=${v/./} env="/opt/venv-$v-$flavour" wheel stamp
    wheel=$(ls -t dist/norvik-*-cp"$nodot"-cp"$nodot"-manylinux*_aarch64*.whl | head -n1)
    stamp="${NUMPY[$flavour]} pytest $(sha256sum "$wheel" | cut -c1-16)"
    [ "$(cat "$dir$env/.norvik-env" 2>/dev/null)" == "$stamp" ] && return 0
    chroot "$dir" /usr/bin/python3 -m venv --clear --without-pip "$env"
    # (word splitting of the platform options on purpose)
    # shellcheck disable=SC2046
    .venv/bin/pip install -q --disable-pip-version-check --target "$dir$env/lib/python$v/site-packages" \
        $(manylinux_platforms "$dir") --python-version "$v" --implementation cp --only-binary=:all: \
        "${NUMPY[$flavour]}" pytest "$wheel" 2> >(grep -v '^WARNING' >&2)
    echo "$stamp" > "$dir$env/.norvik-env"
}

# /proc, /dev and the checkout (read-only, at /norvik) in a root while it runs.
mount_root() {
    local dir=$1
    mount -t proc proc "$dir/proc"
    mount --rbind /dev "$dir/dev"
    mount --make-rslave "$dir/dev"
    mkdir -p "$dir/norvik"
    mount --bind "$root" "$dir/norvik"
    mount -o remount,bind,ro "$dir/norvik"
}

# The suite of one combination in its root: the README's pytest run, from the
# checkout, with norvik from the wheel.
run_suite() {
    local combo=$1 v=${1%%:*} flavour=${1#*:}
    chroot "$work/${RELEASE[$v]}" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        QEMU_CPU="$QEMU_CPU" PYTHONDONTWRITEBYTECODE=1 NORVIK_FORMAT_STRIDE="$STRIDE" ${CI:+CI="$CI"} \
        /bin/sh -c "cd /norvik && exec /opt/venv-$v-$flavour/bin/python -m pytest tests -q -rs \
            -p no:cacheprovider --basetemp=/tmp/pytest-$v-$flavour"
}

start=$SECONDS
[ -x .venv/bin/python ] || tools/bootstrap.sh >/dev/null
# Always from the sources as they are (zig's cache makes an unchanged build quick).
tools/build_wheels.sh linux-arm64 >/dev/null
releases=$(for combo in "${combos[@]}"; do echo "${RELEASE[${combo%%:*}]}"; done | sort -u)
# The roots are made side by side (each mostly one emulated process).
pids=()
for release in $releases; do
    make_root "$release" </dev/null &
    pids+=($!)
done
jobs_running=("${pids[@]}")
for pid in "${pids[@]}"; do wait "$pid"; done
jobs_running=()
for combo in "${combos[@]}"; do make_env "$combo"; done
echo "set-up: $((SECONDS - start)) s; build/arm64: $(du -sh "$work" | cut -f1)"

for release in $releases; do mount_root "$work/$release"; done
pids=()
for combo in "${combos[@]}"; do
    log="$work/logs/${combo/:/-}.log"
    ( begin=$SECONDS; status=0
      run_suite "$combo" > "$log" 2>&1 </dev/null || status=$?
      echo "($((SECONDS - begin)) s)" >> "$log"; exit $status ) &
    pids+=($!)
done
jobs_running=("${pids[@]}")
status=0
for i in "${!combos[@]}"; do wait "${pids[$i]}" || status=1; done
jobs_running=()
summary=()
for combo in "${combos[@]}"; do
    v=${combo%%:*} flavour=${combo#*:}
    log="$work/logs/${combo/:/-}.log"
    numpy=$(ls -d "$work/${RELEASE[$v]}/opt/venv-$v-$flavour/lib/python$v/site-packages"/numpy-*.dist-info)
    numpy=${numpy##*/numpy-}
    echo "== arm64 CPython $v (Debian ${RELEASE[$v]}), numpy ${numpy%.dist-info}"
    cat "$log"
    summary+=("$combo: $(grep -E '^[=]* ?[0-9]+ (passed|failed)' "$log" | tail -n1 | tr -d '=') $(tail -n1 "$log")")
done
printf '%s\n' "${summary[@]}"
exit $status
