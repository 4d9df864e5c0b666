#!/usr/bin/env bash
# Refreshes docs/images/gallery.png, the README's picture of the gallery:
# writes the gallery from the release build (scripts/gallery.sh builds it)
# and photographs the top of the page with headless Chromium.
#
#   scripts/gallery-screenshot.sh [WIDTH HEIGHT]     # default 1100 x 820
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
width=${1:-1100}
height=${2:-820}
gallery="$here/build/release/examples/vqr_gallery"
[ -x "$gallery" ] || { echo "run scripts/gallery.sh first" >&2; exit 1; }
command -v chromium >/dev/null || { echo "chromium is missing (scripts/setup.sh installs it)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$gallery" "$work/site" >/dev/null || true
chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$work/profile" --hide-scrollbars \
  --force-device-scale-factor=1 --virtual-time-budget=5000 --window-size="$width,$height" \
  --screenshot="$here/docs/images/gallery.png" "file://$work/site/index.html" 2>/dev/null
echo "wrote docs/images/gallery.png"
