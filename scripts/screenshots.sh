#!/usr/bin/env bash
# Renders the built site's landing page and one API page in headless Chromium into
# SITE/screenshots/*.png, so that a broken theme or missing stylesheet is seen.
#   scripts/screenshots.sh build/docs
set -euo pipefail
site=$(cd "${1:-build/docs}" && pwd)
browser=$(command -v chromium || command -v chromium-browser || command -v google-chrome || true)
if [ -z "$browser" ]; then
  echo "screenshots: no Chromium found (scripts/setup.sh docs installs Debian's chromium)" >&2
  exit 1
fi
mkdir -p "$site/screenshots"
shoot() {  # page, picture
  # --no-sandbox: CI runs as root, where Chromium's sandbox refuses to start
  "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1280,960 \
    --screenshot="$site/screenshots/$2" "file://$site/$1" >/dev/null 2>&1
  [ -s "$site/screenshots/$2" ] || { echo "screenshots: $2 was not written" >&2; exit 1; }
  echo "screenshots: $site/screenshots/$2"
}
shoot index.html landing.png
shoot reference/api/vorlan.simulation.html api-simulation.png
