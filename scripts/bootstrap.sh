#!/usr/bin/env bash
# Installs what building and testing Quentra needs, from Debian's packages.
# Quick when everything is there already. wine32 only with --wine32: on
# Debian it makes the `wine` wrapper pick the 32-bit loader, which cannot run
# on kernels without 32-bit emulation.
set -euo pipefail
packages=(
  cmake make python3 locales
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 iproute2 googletest
  clang lld libfuzzer-14-dev libclang-rt-14-dev
  xvfb x11-utils imagemagick fonts-wqy-microhei
  g++ pkg-config libboost-dev libsqlite3-dev sqlite3 libpq-dev postgresql libgtest-dev chromium curl
  dpkg-dev systemd nginx help2man lintian man-db
  osslsigncode openssl
  qemu-system-x86 mmdebstrap e2fsprogs
)
[ "${1:-}" = --wine32 ] && packages+=(wine32)
[ -n "${QUENTRA_EXTRA_PACKAGES:-}" ] && read -r -a extra <<<"$QUENTRA_EXTRA_PACKAGES" && packages+=("${extra[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
