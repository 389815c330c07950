#!/usr/bin/env bash
# Installs what is missing, from Debian and PyPI:
#   scripts/setup.sh run PYTHON...    what building and running vorlan needs
#   scripts/setup.sh test PYTHON...   that, and what the tests use
#   scripts/setup.sh docs PYTHON...   that, and what the documentation site is built with
# System packages: the compiler, Boost, Eigen and Random123 (counter-based random
# numbers of the stochastic methods; GoogleTest too for the tests).
# For each interpreter, from PyPI: the build backend with nanobind (vorlan._core
# is written with it), NumPy and gsd (GSD trajectories, a core feature), tomli
# before Python 3.11 (TOML system descriptions; tomllib from 3.11 on); for the
# tests also pytest, mypy (the type check), ASE and MDAnalysis (readers of the
# trajectories the tests write), tqdm (progress bars), matplotlib (the figures of
# `vorlan plot`), pandas and Dask (sweeps), freud (g(r)); for the site Sphinx with
# MyST-NB (pages whose code runs at build time), the furo theme and sphinx-argparse,
# and Debian's chromium for the screenshots of the rendered pages.
set -euo pipefail

what=${1:-}
case "$what" in
  run | test | docs) shift ;;
  *) echo "usage: scripts/setup.sh run|test|docs PYTHON..." >&2; exit 2 ;;
esac

debs=(g++ make ninja-build libboost-dev libboost-regex-dev libeigen3-dev librandom123-dev)
# MPICH for the tests of a box divided among processes (runs as root, and
# oversubscribes the cores without flags)
[ "$what" != run ] && debs+=(libgtest-dev mpich libmpich-dev)
[ "$what" = docs ] && debs+=(chromium)
missing=()
for d in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$d" 2>/dev/null | grep -q 'install ok installed' || missing+=("$d")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# import name -> PyPI name, for running, then for the tests
run_modules=(numpy scikit_build_core cmake ninja nanobind gsd)
run_packages=(numpy scikit-build-core cmake ninja nanobind gsd)
test_modules=(pytest mypy ase MDAnalysis tqdm matplotlib pandas distributed freud)
test_packages=(pytest mypy ase MDAnalysis tqdm matplotlib pandas "dask[distributed]" freud-analysis)
docs_modules=(sphinx myst_nb furo sphinxarg ipykernel)
docs_packages=(sphinx myst-nb furo sphinx-argparse ipykernel)
modules=("${run_modules[@]}")
packages=("${run_packages[@]}")
if [ "$what" != run ]; then
  modules+=("${test_modules[@]}")
  packages+=("${test_packages[@]}")
fi
if [ "$what" = docs ]; then
  modules+=("${docs_modules[@]}")
  packages+=("${docs_packages[@]}")
fi
for py in "$@"; do
  if ! "$py" -c "import $(IFS=,; echo "${modules[*]}")" 2>/dev/null; then
    echo "setup: installing Python packages for $py ($what)"
    "$py" -m pip install -q --disable-pip-version-check "${packages[@]}"
  fi
  # mpi4py compiled against Debian's MPICH (not a wheel bringing an MPI of its own)
  if [ "$what" != run ] && ! "$py" -c "import mpi4py" 2>/dev/null; then
    echo "setup: building mpi4py for $py against MPICH"
    MPICC=/usr/bin/mpicc.mpich "$py" -m pip install -q --disable-pip-version-check --no-binary mpi4py mpi4py
  fi
done
for py in "$@"; do
  if ! "$py" -c 'import sys; sys.exit(sys.version_info < (3, 11))' && ! "$py" -c 'import tomli' 2>/dev/null; then
    echo "setup: installing tomli for $py"
    "$py" -m pip install -q --disable-pip-version-check tomli
  fi
done
