#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, once: packages (with the
# i386 architecture for 32-bit Wine), the ko_KR.UTF-8 locale (code page 949 under Wine) and
# the project's Wine prefix. Every step checks first and does nothing when already done, so
# the README's commands can call it every time.
set -euo pipefail

PACKAGES=(
  cmake make g++ clang libclang-rt-14-dev gcc-multilib googletest libgtest-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine64 wine32:i386
  socat xvfb xauth x11-utils xdotool imagemagick locales fonts-nanum
  python3 openssl procps
  msitools wixl osslsigncode zip unzip
  zlib1g-dev libz-mingw-w64-dev
)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  as_root dpkg --add-architecture i386
  as_root apt-get update -qq
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if ! locale -a 2>/dev/null | grep -qi '^ko_KR\.utf-\?8$'; then
  echo "setup: generating the ko_KR.UTF-8 locale"
  as_root localedef -i ko_KR -f UTF-8 ko_KR.UTF-8
fi

# The Wine prefix is made after every Wine package is in (a prefix made before wine32 fails
# later with "could not load kernel32.dll").
source "$(dirname "$0")/wine-env.sh"
if [ ! -f "$WINEPREFIX/.pellarin-ready" ]; then
  echo "setup: creating the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  if ! wine wineboot -i >"$WINEPREFIX/../wineboot.log" 2>&1; then
    tail -5 "$WINEPREFIX/../wineboot.log" >&2
    echo "setup: Wine could not create the prefix (output above, whole in $WINEPREFIX/../wineboot.log)" >&2
    exit 1
  fi
  wineserver -w
  touch "$WINEPREFIX/.pellarin-ready"
fi

# The modem-line shim that lets Wine wait for serial events on the test ptys (tools/ptyshim)
# and the null-modem bridge of the pairs (tools/ptybridge).
if [ "$PELLARIN_NO_32BIT" = 1 ]; then
  echo "setup: this machine runs no 32-bit programs: Wine runs the x86_64 build only"
fi
bash "$(dirname "$0")/ptyshim/build.sh" "${PELLARIN_SHIM_ROOT:-$WINEPREFIX/../shim}"
bash "$(dirname "$0")/ptybridge/build.sh" "${PELLARIN_SHIM_ROOT:-$WINEPREFIX/../shim}"
