#!/usr/bin/env bash
# The main job, from a fresh machine: installs what is missing, builds the
# library and writes the gallery of styled codes (gallery/index.html): every
# preset, module, ring and centre style, gradients and a logo, each as PNG
# and SVG, read back by our decoder and by zxing-cpp.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$here/scripts/setup.sh"
cd "$here"
cmake --preset release >/dev/null
cmake --build --preset release --target vqr_gallery vqr
# Exit status 1 when an image was not written or not read back; the page is
# written either way and says which.
status=0
./build/release/examples/vqr_gallery gallery || status=$?
echo "gallery: open file://$here/gallery/index.html"
exit $status
