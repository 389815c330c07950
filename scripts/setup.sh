#!/usr/bin/env bash
# Installs what building and testing vorlan needs, skipping what is already there:
# the compiler, Boost, Eigen and GoogleTest from Debian; NumPy, pytest and the build
# backend (with nanobind, which the module vorlan._core is written with) from PyPI
# for each interpreter named on the command line, with gsd (GSD trajectories), the
# readers the tests check them with (ASE, MDAnalysis), pandas and Dask for the
# sweep tests.
set -euo pipefail

debs=(g++ make ninja-build libboost-dev libboost-regex-dev libeigen3-dev libgtest-dev)
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

for py in "$@"; do
  if ! "$py" -c 'import numpy, pytest, scikit_build_core, cmake, ninja, nanobind, gsd, ase, MDAnalysis, pandas, distributed' 2>/dev/null; then
    echo "setup: installing Python packages for $py"
    "$py" -m pip install -q --disable-pip-version-check numpy pytest scikit-build-core cmake ninja nanobind \
      gsd ase MDAnalysis pandas "dask[distributed]"
  fi
done

# matplotlib draws the figures of `vorlan plot` and `vorlan run --plot` (the extra
# `vorlan[plot]` for users); the tests of the vorlan command use it.
for py in "$@"; do
  if ! "$py" -c 'import matplotlib' 2>/dev/null; then
    echo "setup: installing matplotlib for $py"
    "$py" -m pip install -q --disable-pip-version-check matplotlib
  fi
done
