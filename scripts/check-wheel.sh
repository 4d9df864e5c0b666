#!/usr/bin/env bash
# Checks a vantelor-qrcode wheel on a bare Debian 12 system. Run it as root
# in a throw-away root, never on a machine you keep: it installs python3-venv.
#
#   scripts/check-wheel.sh vantelor_qrcode-1.0.0-py3-none-linux_x86_64.whl
#
# With only python3-venv from Debian (no build tools, no vantelor-qrcode
# anywhere on the system), `pip install --no-index` of the wheel into a fresh
# virtual environment gives a package that encodes and decodes codes.
set -euo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 PACKAGE.whl" >&2; exit 2; }
wheel=$(readlink -f "$1")
export DEBIAN_FRONTEND=noninteractive
say() { printf '\ncheck-wheel: %s\n' "$*"; }

apt-get update -qq
apt-get install -y -qq --no-install-recommends python3-venv >/dev/null
! ldconfig -p | grep -E 'libvantelor-qrcode|libyyjson' || { echo "the system has the library already" >&2; exit 1; }

work=$(mktemp -d)
cd "$work"
say "python3 -m venv v && v/bin/pip install --no-index $(basename "$wheel")"
python3 -m venv v
v/bin/pip install --no-index "$wheel"
v/bin/pip show vantelor-qrcode | grep -E '^(Name|Version|License):'
say "encode and decode in the virtual environment"
v/bin/python - <<'PY'
import vantelor_qrcode as qr
print("version", qr.__version__, "library", qr.library()._name)
png = qr.encode_png("from the wheel", level="Q")
assert qr.decode(png) == "from the wheel", qr.decode(png)
qr.save("svg too", "code.svg", style=qr.Style("dots"))
print("PNG of", len(png), "bytes reads back", repr(qr.decode(png)))
qr.wifi("Home", password="secret", path="wifi.png")
print("Wi-Fi code reads back", repr(qr.decode("wifi.png")))
PY
cd / && rm -rf "$work"
say "all checks passed"
