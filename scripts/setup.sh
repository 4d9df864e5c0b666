#!/usr/bin/env bash
# Installs everything vantelor-qrcode needs to build, test and benchmark on
# Debian 12 (bookworm). Safe to re-run: every step checks before it acts, and
# when everything is present it runs no apt command and needs no root.
#
#   scripts/setup.sh            # Debian 12 packages + third-party files
#   scripts/setup.sh --deps     # only the third-party files (no root needed)
#
# Debian 12 packages need root; the script uses sudo when it is not run as
# root. What Debian 12 lacks (yyjson 0.12, stb_image 2.30, the quirc 1.2
# sources) comes from Debian unstable into .deps/ in the repository (git
# ignores it), through a private apt configuration under .deps/apt: the
# system's apt sources are never changed and nothing from unstable is
# installed system-wide. axe-core (the accessibility checker of the designer's
# browser test) comes from npm into .deps/npm.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps_dir="$here/.deps"
quirc_version=1.2
quirc_sha256=39295a364c933bc701a7c93acf86d35a297d253570ccf3c556c2dfe44ea485c3
# Debian 12's stb_image 2.27 writes past its buffers on crafted JPEG and PNM
# files; 2.28 and later refuse them. Unstable's libstb-dev carries 2.30.
stb_min_minor=28
# The accessibility checker the designer's browser test runs inside the page.
axe_core_version=4.10.3

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
  # benchmark peer only (never linked into the library)
  libqrencode-dev libpng-dev
  # tests, benchmarks, fuzzing and independent references
  libgtest-dev libgmock-dev libbenchmark-dev libzxing-dev zbar-tools
  librsvg2-bin clang clang-format libclang-rt-14-dev valgrind python3 locales
  python3-zxing-cpp python3-pil python3-icalendar python3-vobject
  chromium chromium-driver python3-selenium parallel
  # fetching third-party sources; dpkg-dev also computes the .deb's Depends
  dpkg-dev zstd xz-utils
  # building the wheel offline, and trying it in a virtual environment
  python3-build python3-setuptools python3-wheel python3-venv
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

# Earlier versions of this script added Debian unstable to the system's apt
# sources (under these two names). Take them out again, so that unstable
# cannot reach the system through a later apt run.
legacy_sid_sources=/etc/apt/sources.list.d/sid-low-priority.sources
legacy_sid_pin=/etc/apt/preferences.d/sid-low-priority
remove_legacy_sid() {
  [ -e "$legacy_sid_sources" ] || [ -e "$legacy_sid_pin" ] || return 0
  say "removing the Debian unstable entry an earlier set-up added to the system's apt sources"
  as_root rm -f "$legacy_sid_sources" "$legacy_sid_pin" ||
    say "warning: could not remove $legacy_sid_sources and $legacy_sid_pin; remove them as root"
}

# ---- Private apt configuration for Debian unstable (.deps/apt) ----------------

apt_dir="$deps_dir/apt"
private_apt_options=(
  -o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::Etc::Preferences=/dev/null" -o "Dir::Etc::PreferencesParts=$apt_dir/preferences.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
  -o "Debug::NoLocking=1" -qq
)
private_apt_get() { apt-get "${private_apt_options[@]}" "$@"; }
private_apt_cache() { apt-cache "${private_apt_options[@]}" "$@"; }

# The Debian archive this system already uses, read from its apt
# configuration: the index targets when its lists exist, else the sources.
debian_archive_uri() {
  local uri
  uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' \
          'Target-Of: deb' 'Identifier: Packages' 'Origin: Debian' 2>/dev/null |
        awk '$2 !~ /-/ {print $1; exit}')
  if [ -z "$uri" ]; then
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
          awk '/^URIs:/ {u=$2} /^Suites:/ && / bookworm( |$)/ {print u; exit}')
  fi
  if [ -z "$uri" ]; then
    uri=$(awk '$1 == "deb" && $3 == "bookworm" {print ($2 ~ /^\[/ ? $3 : $2); exit}' \
            /etc/apt/sources.list 2>/dev/null)
  fi
  [ -n "$uri" ] || die "cannot find the Debian archive in the system's apt configuration"
  echo "$uri"
}

private_apt_ready=0
private_apt_update() {
  [ $private_apt_ready -eq 1 ] && return
  local uri
  uri=$(debian_archive_uri)
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/preferences.d" "$apt_dir/lists/partial" \
           "$apt_dir/cache/archives/partial"
  cat > "$apt_dir/sources.list.d/sid.sources" <<SRC
Types: deb deb-src
URIs: $uri
Suites: sid
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  say "reading Debian unstable's package lists (private to .deps/apt)"
  private_apt_get update || die "apt-get update of the private unstable lists failed"
  private_apt_ready=1
}

# A scratch folder that apt's unprivileged download user may write to.
download_dir() {
  local tmp; tmp=$(mktemp -d)
  if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$tmp"; fi
  echo "$tmp"
}

# Downloads the named packages from unstable and unpacks them into $1.
unpack_from_unstable() {
  local root=$1; shift
  local tmp; tmp=$(download_dir)
  (cd "$tmp" && private_apt_get download "$@" >/dev/null) || die "apt-get download $* failed"
  local deb
  for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$root"; done
  rm -rf "$tmp"
}

# Replaces folder $2 with the freshly filled folder $1.
move_into_place() {
  rm -rf "$2"; mv "$1" "$2"
}

# ---- Third-party files ------------------------------------------------------

# yyjson 0.12: Debian unstable ships it only as a shared library (its source
# package is not served), so the library is bundled: linked from .deps/yyjson
# and installed next to ours.
yyjson_dir="$deps_dir/yyjson"
yyjson_present() {
  [ -f "$yyjson_dir/include/yyjson.h" ] && [ -e "$yyjson_dir/lib/libyyjson.so.0" ] &&
    grep -Eq '#define YYJSON_VERSION_MINOR +1[2-9]\b' "$yyjson_dir/include/yyjson.h"
}

fetch_yyjson() {
  if yyjson_present; then say "yyjson 0.12 present"; return; fi
  private_apt_update
  say "fetching yyjson 0.12 (libyyjson0 and libyyjson-dev from Debian unstable)"
  local root; root=$(mktemp -d)
  unpack_from_unstable "$root" libyyjson0 libyyjson-dev
  local lib
  lib=$(find "$root/usr/lib" -name 'libyyjson.so.0.*' -type f | head -n 1)
  [ -n "$lib" ] && [ -f "$root/usr/include/yyjson.h" ] || die "unstable's yyjson packages lack the library or header"
  mkdir -p "$yyjson_dir.tmp/include" "$yyjson_dir.tmp/lib"
  cp "$root/usr/include/yyjson.h" "$yyjson_dir.tmp/include/"
  cp "$lib" "$yyjson_dir.tmp/lib/"
  ln -s "$(basename "$lib")" "$yyjson_dir.tmp/lib/libyyjson.so.0"
  ln -s libyyjson.so.0 "$yyjson_dir.tmp/lib/libyyjson.so"
  rm -rf "$root"
  move_into_place "$yyjson_dir.tmp" "$yyjson_dir"
  yyjson_present || die "yyjson in .deps is older than 0.12"
}

fetch_quirc() {
  local dest="$deps_dir/quirc-$quirc_version"
  if [ -f "$dest/lib/quirc_internal.h" ]; then say "quirc $quirc_version sources present"; return; fi
  private_apt_update
  local ver
  ver=$(private_apt_cache showsrc quirc |
        awk -v v="$quirc_version-" '/^Version:/ && index($2, v) == 1 {print $2; exit}')
  [ -n "$ver" ] || die "quirc $quirc_version sources not found in Debian unstable"
  local tmp; tmp=$(download_dir)
  say "fetching quirc $ver sources"
  (cd "$tmp" && private_apt_get source --tar-only "quirc=$ver" >/dev/null) ||
    die "apt-get source quirc=$ver failed"
  local tarball="$tmp/quirc_$quirc_version.orig.tar.gz"
  [ -f "$tarball" ] || die "quirc tarball missing after download"
  echo "$quirc_sha256  $tarball" | sha256sum -c --quiet - || die "quirc tarball checksum mismatch"
  mkdir -p "$dest.tmp"
  tar -xzf "$tarball" --strip-components=1 -C "$dest.tmp"
  rm -rf "$tmp"
  move_into_place "$dest.tmp" "$dest"
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
  private_apt_update
  say "fetching stb headers (libstb-dev from Debian unstable)"
  local root; root=$(mktemp -d)
  unpack_from_unstable "$root" libstb-dev
  local inc="$root/usr/include/stb"
  [ "$(stb_image_minor "$inc/stb_image.h")" -ge $stb_min_minor ] ||
    die "unstable's stb_image.h is older than 2.$stb_min_minor"
  mkdir -p "$dest.tmp"
  cp "$inc/stb_image.h" "$inc/stb_image_write.h" "$dest.tmp/"
  rm -rf "$root"
  move_into_place "$dest.tmp" "$dest"
}

# npm fetches axe-core; Debian 12 packages npm separately from nodejs, and a
# machine with another Node.js installation already has it.
install_npm() {
  command -v npm >/dev/null 2>&1 && return
  say "installing: npm"
  apt_update_once
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm
}

axe_dir="$deps_dir/npm"
axe_core_present() {
  [ -f "$axe_dir/node_modules/axe-core/axe.min.js" ] &&
    grep -q "\"version\": \"$axe_core_version\"" "$axe_dir/node_modules/axe-core/package.json"
}

fetch_axe_core() {
  if axe_core_present; then say "axe-core $axe_core_version present"; return; fi
  command -v npm >/dev/null 2>&1 || die "npm is missing: run scripts/setup.sh without --deps"
  say "fetching axe-core $axe_core_version (npm)"
  rm -rf "$axe_dir.tmp"
  mkdir -p "$axe_dir.tmp"
  # Only the designer's accessibility test uses axe-core, and it reports itself
  # skipped without it: a registry that cannot be reached (no network, a proxy
  # whose certificate this machine does not trust) must not stop the build.
  if ! npm install --prefix "$axe_dir.tmp" --no-save --no-package-lock --no-audit --no-fund \
    --ignore-scripts --loglevel=error "axe-core@$axe_core_version" >/dev/null; then
    rm -rf "$axe_dir.tmp"
    say "warning: npm could not fetch axe-core $axe_core_version; the designer's browser test will be skipped"
    return 0
  fi
  move_into_place "$axe_dir.tmp" "$axe_dir"
  axe_core_present || die "axe-core in .deps is not version $axe_core_version"
}

main() {
  check_debian
  if [ "${1:-}" != "--deps" ]; then
    remove_legacy_sid
    install_packages
    generate_locale
    install_npm
  fi
  fetch_yyjson
  fetch_quirc
  fetch_stb
  fetch_axe_core
  say "done"
}
main "$@"
