#!/usr/bin/env bash
# Checks a vantelor-qrcode .deb on a bare Debian 12 system. Run it as root in
# a throw-away root, never on a machine you keep: it installs and removes
# packages.
#
#   scripts/check-deb.sh vantelor-qrcode_1.0.0_amd64.deb
#
# 1. On the bare system: `apt install ./the.deb` pulls in what Depends names,
#    then vqr encodes and decodes; `apt remove` leaves no file behind.
# 2. With python3 and a C compiler present: the Python package imports,
#    encodes and decodes, and a C program built with pkg-config runs; again
#    `apt remove` leaves no file behind (byte code included).
set -euo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 PACKAGE.deb" >&2; exit 2; }
deb=$(readlink -f "$1")
export DEBIAN_FRONTEND=noninteractive
say() { printf '\ncheck-deb: %s\n' "$*"; }
fail() { printf 'check-deb: FAILED: %s\n' "$*" >&2; exit 1; }

# Every path on the root file system, less those apt, dpkg and the kernel
# keep for themselves and the scratch folders.
snapshot() {
  find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
    -o -path /var/tmp -o -path /var/cache -o -path /var/log -o -path /var/lib/apt \
    -o -path /var/lib/dpkg -o -path /src -o -path /root \) -prune -o -print | sort
}

install_deb() {
  say "apt-get install $deb"
  apt-get install -y -q --no-install-recommends "$deb"
  dpkg-query -W -f='installed: ${Package} ${Version}\nDepends: ${Depends}\n' vantelor-qrcode
}

# After `apt remove` no file of the package is left; dpkg keeps only its own
# record (the ldconfig postrm that CPack adds, for a later purge), and
# `apt purge` clears that.
remove_and_compare() {
  say "apt-get remove vantelor-qrcode"
  apt-get remove -y -q vantelor-qrcode
  snapshot > /tmp/after
  if ! diff /tmp/before /tmp/after; then fail "apt remove left the paths above"; fi
  say "no file left behind; dpkg's record: $(dpkg-query -W -f='${db:Status-Abbrev}' vantelor-qrcode)"
  apt-get purge -y -q vantelor-qrcode >/dev/null
  ! ls /var/lib/dpkg/info/vantelor-qrcode.* 2>/dev/null || fail "dpkg keeps files of the package after purge"
  ! dpkg-query -W vantelor-qrcode 2>/dev/null || fail "dpkg still knows the package after purge"
  say "after apt purge dpkg holds no record either"
}

work=$(mktemp -d)
cd "$work"
apt-get update -qq

say "1. bare system"
snapshot > /tmp/before
install_deb
vqr --version
vqr encode -o hello.png 'https://example.org/hello'
[ "$(vqr decode hello.png)" = 'https://example.org/hello' ] || fail "vqr decode"
echo "vqr decode: $(vqr decode hello.png)"
man -w vqr 2>/dev/null || ls /usr/share/man/man1/vqr.1
ls /usr/share/doc/vantelor-qrcode /usr/share/doc/vantelor-qrcode/licenses
remove_and_compare

say "2. with python3, gcc and pkg-config"
apt-get install -y -qq --no-install-recommends python3 gcc libc6-dev pkg-config >/dev/null
snapshot > /tmp/before
install_deb
python3 - <<'PY'
import vantelor_qrcode as qr
png = qr.encode_png("from python", level="Q")
assert qr.decode(png) == "from python", qr.decode(png)
print("python:", qr.__version__, "reads back", repr(qr.decode(png)))
PY
cat > app.c <<'C'
#include <stdio.h>
#include <string.h>
#include <vantelor_qrcode.h>

int main(void) {
    qr_init();
    if (qr_encode_to_file("from C", "c.png", 1, 10, 4) != 1) {
        fprintf(stderr, "%s\n", qr_last_error());
        return 1;
    }
    const char *text = qr_decode_from_file("c.png");
    printf("C program reads back \"%s\"\n", text);
    int ok = strcmp(text, "from C") == 0;
    qr_cleanup();
    return ok ? 0 : 1;
}
C
echo "cc app.c $(pkg-config --cflags --libs vantelor-qrcode)"
# shellcheck disable=SC2046
cc app.c $(pkg-config --cflags --libs vantelor-qrcode) -o app
./app
cd / && rm -rf "$work"
remove_and_compare
say "all checks passed"
