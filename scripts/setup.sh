#!/usr/bin/env bash
# Installs what building and testing vorlan needs, skipping what is already there:
# the compiler, Boost, Eigen, GoogleTest and Random123 (counter-based random
# numbers of the stochastic methods) from Debian; for each interpreter named
# on the command line, from PyPI, the build backend with nanobind (the module
# vorlan._core is written with it) and what the tests use: gsd (GSD trajectories),
# ASE and MDAnalysis (readers of the trajectories the tests write), tqdm (progress
# bars), matplotlib (the figures of `vorlan plot`), pandas and Dask (sweeps),
# freud (g(r) of `vorlan plot`, when installed).
set -euo pipefail

debs=(g++ make ninja-build libboost-dev libboost-regex-dev libeigen3-dev libgtest-dev librandom123-dev)
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

# import name -> PyPI name
modules=(numpy pytest scikit_build_core cmake ninja nanobind gsd ase MDAnalysis tqdm matplotlib pandas distributed freud)
packages=(numpy pytest scikit-build-core cmake ninja nanobind gsd ase MDAnalysis tqdm matplotlib pandas "dask[distributed]" freud-analysis)
for py in "$@"; do
  if ! "$py" -c "import $(IFS=,; echo "${modules[*]}")" 2>/dev/null; then
    echo "setup: installing Python packages for $py"
    "$py" -m pip install -q --disable-pip-version-check "${packages[@]}"
  fi
done
