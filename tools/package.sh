#!/usr/bin/env bash
# Builds what a site installs: dist/Pellarin-<version>-x86.msi (the per-machine installer of
# the i686 product) and dist/Pellarin-<version>.zip (the DLLs and the launcher of both
# architectures, for a point-of-sale program that loads pellarin.dll itself), and prints their
# paths and SHA-256. <version> is 1.3.N, N the build number (see res/CMakeLists.txt).
#
# Signing: with PELLARIN_SIGN_CERT (PEM: the code-signing certificate, then its chain) and
# PELLARIN_SIGN_KEY (PEM private key), every PE file is signed (Authenticode, SHA-256) before it
# goes into the installer or the zip, then the installer itself. A time stamp comes from
# PELLARIN_SIGN_TIMESTAMP_URL (an RFC 3161 server), or, offline, from a time-stamping
# certificate and key of one's own (PELLARIN_SIGN_TSA_CERT, PELLARIN_SIGN_TSA_KEY: what the
# tests use). Without a certificate everything is built unsigned, and the last line says so.
#
# Other settings: PELLARIN_BUILD_NUMBER (the build number, default the commit count),
# PELLARIN_DIST_DIR (default dist/), PELLARIN_PACKAGE_ZIP=0 (the installer only: no x86_64
# build), PELLARIN_PACKAGE_BUILD_DIR (the i686 build folder, default build/i686).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dist="${PELLARIN_DIST_DIR:-$root/dist}"
build_i686="${PELLARIN_PACKAGE_BUILD_DIR:-$root/build/i686}"
build_x64="$root/build/x86_64"
jobs=$(nproc 2>/dev/null || echo 2)

die() { echo "package: $*" >&2; exit 1; }
# On a fresh machine the tools come from tools/setup.sh, as for the README's two commands.
for tool in wixl msibuild osslsigncode zip i686-w64-mingw32-g++-posix cmake; do
  command -v "$tool" >/dev/null || { bash "$root/tools/setup.sh" && break; }
done
signing=0
if [ -n "${PELLARIN_SIGN_CERT:-}" ] || [ -n "${PELLARIN_SIGN_KEY:-}" ]; then
  [ -f "${PELLARIN_SIGN_CERT:-}" ] && [ -f "${PELLARIN_SIGN_KEY:-}" ] ||
    die "PELLARIN_SIGN_CERT and PELLARIN_SIGN_KEY must both name files"
  signing=1
fi

# Configures (which reads the build number again) and builds the three shipped binaries only,
# without the fault tests' seams.
build_product() {
  local dir="$1" arch="$2"
  mkdir -p "$dir"
  if ! { cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLARIN_TEST_SEAMS=OFF \
           -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-mingw.cmake" &&
         cmake --build "$dir" -j "$jobs" --target pellarin pellarin_exe ssllib32; } \
       >"$dir/package-build.log" 2>&1; then
    tail -30 "$dir/package-build.log" >&2
    die "the $arch build failed (log: $dir/package-build.log)"
  fi
}

# Authenticode, SHA-256, in place.
sign() {
  local file="$1" stamp=()
  if [ -n "${PELLARIN_SIGN_TIMESTAMP_URL:-}" ]; then
    stamp=(-ts "$PELLARIN_SIGN_TIMESTAMP_URL")
  elif [ -n "${PELLARIN_SIGN_TSA_CERT:-}" ]; then
    stamp=(-TSA-certs "$PELLARIN_SIGN_TSA_CERT" -TSA-key "${PELLARIN_SIGN_TSA_KEY:?PELLARIN_SIGN_TSA_KEY}")
  fi
  osslsigncode sign -certs "$PELLARIN_SIGN_CERT" -key "$PELLARIN_SIGN_KEY" -h sha256 \
    -n "(주)Norvane Pellarin" "${stamp[@]}" -in "$file" -out "$file.signed" >"$file.sign.log" 2>&1 ||
    { cat "$file.sign.log" >&2; die "signing $(basename "$file") failed"; }
  mv "$file.signed" "$file"
  rm -f "$file.sign.log"
}

# The three binaries of one build, copied into a folder without their debugging information
# (the build folder keeps it), then signed when a certificate is given.
stage_binaries() {
  local dir="$1" arch="$2" into="$3" name
  mkdir -p "$into"
  for name in pellarin.exe pellarin.dll ssllib32.dll; do
    "$arch-w64-mingw32-strip" --strip-debug -o "$into/$name" "$dir/app/$name"
    [ "$signing" = 1 ] && sign "$into/$name"
  done
  return 0
}

build_product "$build_i686" i686
version="$(sed -nE 's/^#define PELLARIN_VERSION_TEXT "(.*)"$/\1/p' "$build_i686/res/version.h")"
[ -n "$version" ] || die "no version in $build_i686/res/version.h"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$dist"

# The installer: wixl builds it in the folder of its files; after-wixl.sql adds what wixl
# cannot say, in a string pool forced to code page 949 (the Hangul texts need it).
stage="$work/msi"
stage_binaries "$build_i686" i686 "$stage"
cp "$root/packaging/config.ini" "$root/packaging/ssllib32.ini.example" "$stage/"
# The shipped README names no settings password (the repository's, for developers, does).
sed -e 's/the password 7316/the settings password/g' \
  -e 's/settings password 7316/settings password/g' -e 's/7316/the built-in password/g' -e 's/$/\r/' \
  "$root/README.md" >"$stage/README.txt"
! grep -q 7316 "$stage/README.txt" || die "README.txt would print the settings password"
msi="$dist/Pellarin-$version-x86.msi"
(cd "$stage" && wixl -a x86 -D "Version=$version" -o "$work/pellarin.msi" "$root/packaging/pellarin.wxs") ||
  die "wixl failed"
printf '\r\n\r\n949\t_ForceCodepage\r\n' >"$work/_ForceCodepage.idt"
queries=()
while IFS= read -r line; do
  case "$line" in ''|--*) continue ;; esac
  queries+=(-q "${line//@VERSION@/$version}")
done <"$root/packaging/after-wixl.sql"
msibuild "$work/pellarin.msi" -i "$work/_ForceCodepage.idt" "${queries[@]}" ||
  die "msibuild could not apply packaging/after-wixl.sql"
[ "$signing" = 1 ] && sign "$work/pellarin.msi"
mv "$work/pellarin.msi" "$msi"
outputs=("$msi")

if [ "${PELLARIN_PACKAGE_ZIP:-1}" != 0 ]; then
  build_product "$build_x64" x86_64
  zipdir="$work/zip/Pellarin-$version"
  stage_binaries "$build_i686" i686 "$zipdir/x86"
  stage_binaries "$build_x64" x86_64 "$zipdir/x64"
  cp "$root/packaging/config.ini" "$root/packaging/ssllib32.ini.example" "$zipdir/"
  sed 's/$/\r/' "$root/packaging/WHICH.txt" >"$zipdir/WHICH.txt"
  zipfile="$dist/Pellarin-$version.zip"
  rm -f "$zipfile"
  (cd "$work/zip" && zip -q -r -X "$zipfile" "Pellarin-$version")
  outputs+=("$zipfile")
fi

for f in "${outputs[@]}"; do
  echo "$f"
  echo "  SHA-256 $(sha256sum "$f" | cut -d' ' -f1)"
done
if [ "$signing" = 1 ]; then
  echo "package: $version signed by $(openssl x509 -in "$PELLARIN_SIGN_CERT" -noout -subject | sed 's/^subject=//')"
else
  echo "package: $version is UNSIGNED (set PELLARIN_SIGN_CERT and PELLARIN_SIGN_KEY to sign)"
fi
