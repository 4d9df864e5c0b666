#!/usr/bin/env bash
# The main job, from a fresh machine: installs what is missing, builds the
# library and writes sample codes into gallery/.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$here/scripts/setup.sh"
cd "$here"
cmake --preset release >/dev/null
cmake --build --preset release
mkdir -p gallery
./build/release/examples/vqr_example gallery
echo "gallery: written to $here/gallery"
