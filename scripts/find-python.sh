#!/usr/bin/env bash
# Prints the path of a CPython of the given minor version ("3.9"), looking on PATH
# and among pyenv's installed versions.
set -euo pipefail
want="$1"
candidates=("python$want")
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for p in "$root"/versions/"$want".*/bin/python"$want"; do candidates+=("$p"); done
for c in "${candidates[@]}"; do
  if v=$("$c" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) && [ "$v" = "$want" ]; then
    command -v "$c"
    exit 0
  fi
done
echo "no Python $want found (looked on PATH and under $root/versions)" >&2
exit 1
