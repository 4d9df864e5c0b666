#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what is missing,
# configures, builds and runs every test through CTest.
#
#   scripts/test.sh            # debug build (build/dev)
#   scripts/test.sh release    # the same suite on the optimised build (build/release)
#   scripts/test.sh asan       # the same suite under AddressSanitizer + UBSan
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
preset=${1:-dev}
"$here/scripts/setup.sh"
cd "$here"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
