#!/usr/bin/env bash
# Installs everything the build, the demonstration and the tests need on a
# fresh Debian 12 machine. Safe to run again: it only installs what is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build git file
  g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686
  libz-mingw-w64-dev zlib1g-dev libcurl4-openssl-dev libssl-dev openssl systemd
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

# Nothing to do means nothing needs root: a developer with every package
# present builds as an ordinary user.
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

# Installing needs root: rerun this script through sudo when it is there.
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    echo "install-deps: missing ${missing[*]}; asking for root through sudo" >&2
    exec sudo -- bash "$0" "$@"
  fi
  echo "install-deps: missing ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  rm -f /var/lib/apt/lists/.pellinor-updated
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# nginx-light starts a system server on port 80 when installed; the tests run
# their own instances and need nothing of it.
# prometheus is installed for promtool alone; its server is not wanted either.
if command -v systemctl >/dev/null 2>&1; then
  systemctl disable --now nginx >/dev/null 2>&1 || true
  systemctl disable --now prometheus >/dev/null 2>&1 || true
fi
[ -f /run/nginx.pid ] && kill "$(cat /run/nginx.pid)" 2>/dev/null || true
echo "install-deps: done"
