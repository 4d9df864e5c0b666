#!/usr/bin/env bash
# Installs everything vantelor-qrcode needs to build, test and benchmark on
# Debian 12 (bookworm). Safe to re-run: every step checks before it acts.
#
#   scripts/setup.sh            # system packages + third-party sources
#   scripts/setup.sh --deps     # only the third-party sources (no root needed)
#
# System packages need root; the script uses sudo when it is not run as root.
# Third-party sources (quirc 1.2) go into .deps/ in the repository, which git
# ignores.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps_dir="$here/.deps"
quirc_version=1.2
quirc_sha256=39295a364c933bc701a7c93acf86d35a297d253570ccf3c556c2dfe44ea485c3
# Debian 12's stb_image 2.27 writes past its buffers on crafted JPEG and PNM
# files; 2.28 and later refuse them. Unstable's libstb-dev carries 2.30.
stb_min_minor=28

say() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else die "need root for '$*': run as root or install sudo"; fi
}

packages=(
  # build
  g++ cmake ninja-build pkg-config git ca-certificates
  # libraries the library links
  libqrcodegen-dev
  # tests, benchmarks, fuzzing and independent references
  libgtest-dev libgmock-dev libbenchmark-dev libzxing-dev zbar-tools
  librsvg2-bin clang libclang-rt-14-dev valgrind python3 locales
  python3-zxing-cpp python3-pil
  chromium
  # fetching third-party sources
  dpkg-dev zstd xz-utils
)

check_debian() {
  [ -r /etc/os-release ] || die "cannot read /etc/os-release; this script supports Debian 12"
  . /etc/os-release
  [ "${ID:-}" = debian ] && [ "${VERSION_ID:-}" = 12 ] ||
    say "warning: expected Debian 12, found ${PRETTY_NAME:-unknown}; continuing"
}

apt_updated=0
apt_update_once() {
  if [ $apt_updated -eq 0 ]; then as_root apt-get update -qq; apt_updated=1; fi
}

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

install_packages() {
  local missing
  missing=$(missing_packages "${packages[@]}")
  if [ -z "$missing" ]; then say "Debian packages present"; return; fi
  say "installing:" $missing
  apt_update_once
  # shellcheck disable=SC2086
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

generate_locale() {
  # The tests check that output does not depend on a host's locale.
  if locale -a 2>/dev/null | grep -qi '^de_DE\.utf8$'; then return; fi
  say "generating locale de_DE.UTF-8"
  as_root sh -c "sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen && locale-gen >/dev/null"
}

# Debian 12 has no yyjson >= 0.12; unstable has. Add unstable with a low pin so
# that nothing but what we ask for by name ever comes from it.
sid_sources=/etc/apt/sources.list.d/sid-low-priority.sources
sid_pin=/etc/apt/preferences.d/sid-low-priority
write_sid_pin() {
  as_root tee "$sid_pin" >/dev/null <<PIN
Package: *
Pin: release n=sid
Pin-Priority: 100
PIN
}

add_sid_low_priority() {
  [ -f "$sid_sources" ] && [ -f "$sid_pin" ] && return
  local uri
  uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' \
          'Target-Of: deb' 'Identifier: Packages' 'Origin: Debian' |
        awk '$2 !~ /-/ {print $1; exit}')
  [ -n "$uri" ] || die "cannot find the Debian archive in the apt configuration (run apt-get update?)"
  say "adding Debian unstable at low priority (for yyjson 0.12 and quirc sources)"
  as_root tee "$sid_sources" >/dev/null <<SRC
Types: deb deb-src
URIs: $uri
Suites: sid
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  write_sid_pin
  apt_updated=0
  apt_update_once
}

install_yyjson() {
  if pkg-config --exists 'yyjson >= 0.12' 2>/dev/null; then say "yyjson >= 0.12 present"; return; fi
  apt_update_once
  local cand
  cand=$(apt-cache policy libyyjson-dev 2>/dev/null | awk '/Candidate:/ {print $2}')
  if [ -n "$cand" ] && [ "$cand" != "(none)" ] && dpkg --compare-versions "$cand" ge 0.12; then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends libyyjson-dev
  else
    add_sid_low_priority
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends libyyjson-dev/sid
  fi
  pkg-config --exists 'yyjson >= 0.12' || die "yyjson >= 0.12 still missing after installing libyyjson-dev"
}

fetch_quirc() {
  local dest="$deps_dir/quirc-$quirc_version"
  if [ -f "$dest/lib/quirc_internal.h" ]; then say "quirc $quirc_version sources present"; return; fi
  if ! apt-cache showsrc quirc 2>/dev/null | grep -q "^Version: $quirc_version-"; then
    add_sid_low_priority
  fi
  local ver
  ver=$(apt-cache showsrc quirc | awk -v v="$quirc_version-" '/^Version:/ && index($2, v) == 1 {print $2; exit}')
  [ -n "$ver" ] || die "quirc $quirc_version sources not found in the apt source lists"
  local tmp; tmp=$(mktemp -d)
  # apt drops privileges to _apt for downloads; let it write here.
  if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$tmp"; fi
  say "fetching quirc $ver sources"
  (cd "$tmp" && apt-get source -qq --tar-only "quirc=$ver" >/dev/null) ||
    die "apt-get source quirc=$ver failed"
  local tarball="$tmp/quirc_$quirc_version.orig.tar.gz"
  [ -f "$tarball" ] || die "quirc tarball missing after download"
  echo "$quirc_sha256  $tarball" | sha256sum -c --quiet - || die "quirc tarball checksum mismatch"
  mkdir -p "$dest.tmp"
  tar -xzf "$tarball" --strip-components=1 -C "$dest.tmp"
  rm -rf "$dest"; mv "$dest.tmp" "$dest"; rm -rf "$tmp"
  [ -f "$dest/lib/quirc_internal.h" ] || die "quirc sources lack lib/quirc_internal.h"
}

# The minor version of an stb_image.h ("stb_image - v2.30" gives 30), or 0.
stb_image_minor() {
  [ -f "$1" ] || { echo 0; return; }
  sed -n '1s/.*stb_image - v2\.\([0-9]*\).*/\1/p' "$1" | grep -E '^[0-9]+$' || echo 0
}

fetch_stb() {
  local dest="$deps_dir/stb"
  if [ "$(stb_image_minor "$dest/stb_image.h")" -ge $stb_min_minor ] && [ -f "$dest/stb_image_write.h" ]; then
    say "stb headers present"; return
  fi
  if ! apt-cache policy libstb-dev 2>/dev/null | grep -q ' sid/'; then add_sid_low_priority; fi
  local tmp; tmp=$(mktemp -d)
  if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$tmp"; fi
  say "fetching stb headers (libstb-dev from Debian unstable)"
  (cd "$tmp" && apt-get download -qq libstb-dev/sid >/dev/null) || die "apt-get download libstb-dev/sid failed"
  dpkg-deb -x "$tmp"/libstb-dev_*.deb "$tmp/root"
  local inc="$tmp/root/usr/include/stb"
  [ "$(stb_image_minor "$inc/stb_image.h")" -ge $stb_min_minor ] ||
    die "unstable's stb_image.h is older than 2.$stb_min_minor"
  mkdir -p "$dest.tmp"
  cp "$inc/stb_image.h" "$inc/stb_image_write.h" "$dest.tmp/"
  rm -rf "$dest"; mv "$dest.tmp" "$dest"; rm -rf "$tmp"
}

main() {
  check_debian
  # An unstable entry without its pin would let apt upgrade everything from
  # unstable: restore the pin before apt does anything.
  if [ -f "$sid_sources" ] && [ ! -f "$sid_pin" ]; then write_sid_pin; fi
  if [ "${1:-}" != "--deps" ]; then
    install_packages
    generate_locale
    install_yyjson
  fi
  fetch_quirc
  fetch_stb
  say "done"
}
main "$@"
