#!/usr/bin/env bash
# Runs the whole test suite (tools/test.sh: tests, then stubtest) on the
# CPython releases this machine's Debian does not carry, 3.14 and 3.15, taken
# from Debian's testing suite inside a minimal Debian root:
#   bash tools/newer-pythons.sh [3.14] [3.15] [-- pytest arguments]
#
# The root ($KESTRUN_CACHE/debian-testing) is made once with debootstrap and
# reused; the interpreters, a compiler, CMake and Ninja are installed inside
# it.  The archive is the one this machine's apt already uses.  Only the root
# is configured (the testing suite's Release file may be past its
# Valid-Until date, which apt inside the root is told to accept); the
# machine's own apt configuration is left alone.  The repository is
# bind-mounted into the root, each interpreter gets its own environment
# (.venv-ci-3.14, ...) and build folder there, and every mount is undone on
# exit, also on failure.  pip inside the root does not reach the package
# index, so the test tools and the build backend are downloaded here for the
# target interpreter and installed inside from that folder.
set -euo pipefail
source "$(dirname "$0")/_interpreters.sh"
cd "$repo_root"

versions=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do versions+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift
[ ${#versions[@]} -gt 0 ] || versions=(3.14 3.15)

root=$KESTRUN_CACHE/debian-testing
packages=(g++ cmake ninja-build)
for v in "${versions[@]}"; do packages+=("python$v" "python$v-dev" "python$v-venv"); done

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }

mounts=()
cleanup() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[$i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
mount_in() {  # mount_in TARGET MOUNT-ARGUMENTS...
    mkdir -p "$1"
    mount "${@:2}" "$1"
    mounts+=("$1")
}

if [ ! -f "$root/.complete" ]; then
    command -v debootstrap >/dev/null 2>&1 || {
        echo "installing debootstrap from Debian's packages" >&2
        apt-get update -qq >/dev/null && apt-get install -y -qq debootstrap >/dev/null
    }
    mirror=$(apt-get indextargets --format '$(SITE)' 'Identifier: Packages' | sort -u | head -n 1)
    [ -n "$mirror" ] || { echo "no Debian archive in this machine's apt configuration" >&2; exit 1; }
    echo "making a Debian testing root in $root from $mirror (once)" >&2
    rm -rf "$root"
    # This machine's debootstrap may not know the testing suite's code name:
    # the unstable script fits every current suite.
    debootstrap --variant=minbase testing "$root" "$mirror" \
        /usr/share/debootstrap/scripts/sid >"$root.log" 2>&1 ||
        { tail -n 20 "$root.log" >&2; exit 1; }
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99valid-until"
    touch "$root/.complete"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount_in "$root/proc" -t proc proc
mount_in "$root/dev" --bind /dev

missing=()
for p in "${packages[@]}"; do
    in_root dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing into the root: ${missing[*]}" >&2
    in_root sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends ${missing[*]}" \
        >"$root.apt.log" 2>&1 || { tail -n 20 "$root.apt.log" >&2; exit 1; }
fi

# The test extras and the build backend, as pyproject.toml names them.
host_py=$(command -v python3)
requirements=$("$host_py" - <<'EOF'
import tomllib
with open("pyproject.toml", "rb") as f:
    meta = tomllib.load(f)
print("\n".join(meta["build-system"]["requires"] + meta["project"]["optional-dependencies"]["test"]))
EOF
)
mount_in "$root/src" --bind "$repo_root"
mkdir -p "$KESTRUN_CACHE/wheels"
mount_in "$root/wheels" --bind "$KESTRUN_CACHE/wheels"
status=0
for v in "${versions[@]}"; do
    wheels=$KESTRUN_CACHE/wheels/$v
    mkdir -p "$wheels"
    echo "==== CPython $v: $(in_root "python$v" -c 'import sys; print(sys.version.split()[0])')" >&2
    # shellcheck disable=SC2086
    "$host_py" -m pip download -q --disable-pip-version-check --dest "$wheels" \
        --python-version "$v" --only-binary=:all: $requirements 2>&1 | grep -v '^WARNING: Location' || true
    in_root sh -c "cd /src && KESTRUN_PYTHON=/usr/bin/python$v KESTRUN_VENV=.venv-ci-$v \
        KESTRUN_WERROR=${KESTRUN_WERROR:-} KESTRUN_PIP_ARGS='--no-index --find-links=/wheels/$v' \
        bash tools/test.sh $(printf '%q ' "$@")" || status=1
done
exit $status
