#!/usr/bin/env bash
# Installs everything the build, the demonstration and the tests need on a
# fresh Debian 12 machine, and fetches the source of the installer's zlib.
# Safe to run again: it only installs or fetches what is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

PACKAGES=(
  build-essential dpkg-dev cmake ninja-build git file
  g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  zlib1g-dev libcurl4-openssl-dev libssl-dev openssl systemd
  googletest libasio-dev
  wine wine32:i386 wine64
  xvfb xauth x11-utils xdotool imagemagick tesseract-ocr
  nginx-light libnginx-mod-stream socat netcat-openbsd curl python3 time gnuplot-nox
  liblnk-utils osslsigncode prometheus
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# The installer's zlib is compiled from Debian's source package with the
# installer's own size flags (cmake/Zlib.cmake); the prebuilt MinGW
# library is built for speed and is twice the size. The source is unpacked
# into the build folder, never into the tracked tree: build/deps/zlib/source.
zlib_dir="$root/build/deps/zlib"
zlib_ready() { [ -f "$zlib_dir/source/inflate.c" ] && [ -f "$zlib_dir/source/zlib.h" ]; }

# apt-get source of the suite's zlib; apt checks the files against the signed
# index. Unpacked beside the final place, then moved there whole.
fetch_zlib() {
  local work unpacked
  mkdir -p "$zlib_dir"
  work=$(mktemp -d "$zlib_dir/fetch.XXXXXX")
  if ! (cd "$work" && apt-get source -qq zlib) >"$work.log" 2>&1; then
    rm -rf "$work"
    return 1
  fi
  unpacked=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'zlib-*' | head -n 1)
  [ -n "$unpacked" ] && [ -f "$unpacked/inflate.c" ] || { rm -rf "$work"; return 1; }
  rm -rf "$zlib_dir/source" && mv "$unpacked" "$zlib_dir/source"
  rm -rf "$work" "$zlib_dir"/fetch.*.log
  # Fetched through sudo: the build folder stays the developer's.
  if [ -n "${SUDO_UID:-}" ]; then chown -R "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$root/build/deps"; fi
  echo "install-deps: zlib $(dpkg-parsechangelog -l "$zlib_dir/source/debian/changelog" -S Version) source in $zlib_dir/source"
}

# apt-get source needs a deb-src entry for the system's own suite.
add_deb_src() {
  local codename list=/etc/apt/sources.list.d/pellinor-deb-src.sources
  apt-cache showsrc zlib 2>/dev/null | grep -q '^Package: zlib$' && return 0
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  if [ ! -f "$list" ]; then
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$codename" >"$list"
    echo "install-deps: added $list"
  fi
  apt-get update -qq
}

# Nothing to do means nothing needs root: a developer with every package
# present builds as an ordinary user, and fetches the source as one when the
# system already lists Debian's sources.
if [ ${#missing[@]} -eq 0 ]; then
  if zlib_ready; then
    echo "install-deps: all packages present, zlib source present"
    exit 0
  fi
  if fetch_zlib; then exit 0; fi
fi

# Installing needs root: rerun this script through sudo when it is there.
needs=${missing[*]:-a deb-src entry for the zlib source}
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    echo "install-deps: missing $needs; asking for root through sudo" >&2
    exec sudo -- bash "$0" "$@"
  fi
  echo "install-deps: missing $needs; run this script as root to install them" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  rm -f /var/lib/apt/lists/.pellinor-updated
fi

export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  # nginx-light starts a system server on port 80 when installed; the tests run
  # their own instances and need nothing of it. prometheus is installed for
  # promtool alone; its server is not wanted either.
  if command -v systemctl >/dev/null 2>&1; then
    systemctl disable --now nginx >/dev/null 2>&1 || true
    systemctl disable --now prometheus >/dev/null 2>&1 || true
  fi
  [ -f /run/nginx.pid ] && kill "$(cat /run/nginx.pid)" 2>/dev/null || true
fi
if ! zlib_ready; then
  add_deb_src
  fetch_zlib || { echo "install-deps: cannot fetch the zlib source package (see $zlib_dir/fetch.*.log)" >&2; exit 1; }
fi
echo "install-deps: done"
