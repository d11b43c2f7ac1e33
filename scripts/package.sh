#!/usr/bin/env bash
# Builds every artefact into dist/ (or --out DIR), with a SHA256SUMS file:
#   corvane_<version>_amd64.deb    release build, cpack -G DEB
#   Corvane-<version>-x64.msi      Windows installer (wixl)
#   Corvane-<version>-win64.zip    the same Windows files as a ZIP
#
# Usage: scripts/package.sh [--pfx FILE] [--password-file FILE]
#                           [--timestamp URL] [--out DIR]
#   --pfx FILE            sign Corvane.exe, Corvane-Doctor.exe and Quintrel.dll (before they go
#                         into the MSI and the ZIP), the installer's custom
#                         action CorvaneSetup.dll and the MSI with
#                         Authenticode, using this PKCS#12 file
#   --password-file FILE  its password, on the first line; without it the
#                         password comes from $CORVANE_SIGN_PASSWORD. It is
#                         never put on a command line.
#   --timestamp URL       an RFC 3161 time-stamp server; without one the
#                         signatures carry no time stamp
#   --out DIR             where the artefacts go (default: dist)
#
# CORVANE_BUILD_ROOT picks the parent of the build directories (default:
# build); build/release and build/windows-cross are reused. With CI set,
# compiler warnings are errors.
set -euo pipefail

tag=package
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }

pfx="" password_file="" timestamp="" out="dist"
while [[ $# -gt 0 ]]; do
  case "$1" in
    --pfx) [[ $# -ge 2 ]] || usage; pfx="$2"; shift 2 ;;
    --password-file) [[ $# -ge 2 ]] || usage; password_file="$2"; shift 2 ;;
    --timestamp) [[ $# -ge 2 ]] || usage; timestamp="$2"; shift 2 ;;
    --out) [[ $# -ge 2 ]] || usage; out="$2"; shift 2 ;;
    *) usage ;;
  esac
done
if [[ -n "$pfx" ]]; then
  [[ -r "$pfx" ]] || fail "cannot read the PKCS#12 file $pfx"
  if [[ -n "$password_file" ]]; then
    [[ -r "$password_file" ]] || fail "cannot read the password file $password_file"
  elif [[ -z "${CORVANE_SIGN_PASSWORD+set}" ]]; then
    fail "--pfx needs --password-file FILE or CORVANE_SIGN_PASSWORD"
  fi
  need osslsigncode
elif [[ -n "$password_file$timestamp" ]]; then
  fail "--password-file and --timestamp only go with --pfx"
fi


# sign <file>: an Authenticode signature in place, when --pfx was given.
sign() {
  [[ -n "$pfx" ]] || return 0
  local args=(sign -pkcs12 "$pfx" -readpass /dev/stdin -h sha256 -n Corvane)
  [[ -n "$help_link" ]] && args+=(-i "$help_link")
  [[ -n "$timestamp" ]] && args+=(-ts "$timestamp")
  rm -f "$1.signed"
  if [[ -n "$password_file" ]]; then
    head -n 1 "$password_file" | tr -d '\r\n' | osslsigncode "${args[@]}" -in "$1" -out "$1.signed" >/dev/null
  else
    printf '%s' "$CORVANE_SIGN_PASSWORD" | osslsigncode "${args[@]}" -in "$1" -out "$1.signed" >/dev/null
  fi || { rm -f "$1.signed"; fail "signing ${1##*/} failed"; }
  mv "$1.signed" "$1"
  echo "    signed ${1##*/}"
}

native_dir="$build_root/release"
win_dir="$build_root/windows-cross"

step "release build ($native_dir) and the Debian package"
cmake --preset release -B "$native_dir" -DCORVANE_WARNINGS_AS_ERRORS=$werror >/dev/null
cmake --build "$native_dir" -j2 >/dev/null || fail "the release build failed"
rm -f "$native_dir"/*.deb
(cd "$native_dir" && cpack -G DEB >cpack-deb.log 2>&1) || fail "cpack -G DEB failed: $(tail -20 "$native_dir/cpack-deb.log")"

step "Windows cross build ($win_dir)"
cmake --preset windows-cross -B "$win_dir" -DCORVANE_WARNINGS_AS_ERRORS=$werror >/dev/null
cmake --build "$win_dir" -j2 >/dev/null || fail "the Windows cross build failed"
version="$(sed -n 's/^set(CORVANE_MSI_VERSION "\(.*\)")$/\1/p' "$win_dir/msi-settings.cmake" 2>/dev/null || true)"
help_link="$(sed -n 's/^set(CORVANE_MSI_HELP_LINK "\(.*\)")$/\1/p' "$win_dir/msi-settings.cmake" 2>/dev/null || true)"
[[ -n "$version" ]] || fail "no $win_dir/msi-settings.cmake: is wixl installed?"

# One staged tree for both Windows packages, signed before either is made.
name="Corvane-$version-win64"
stage="$win_dir/package-stage"
rm -rf "$stage"
cmake --install "$win_dir" --prefix "$stage/$name" --strip >/dev/null
step "Windows files${pfx:+, signed}"
for file in "$stage/$name"/*.exe "$stage/$name"/*.dll; do
  sign "$file"
done
# The installer's custom action DLL goes into the MSI, not into the ZIP.
setup_dll="$stage/CorvaneSetup.dll"
cp "$win_dir/packaging/windows/setup/CorvaneSetup.dll" "$setup_dll"
sign "$setup_dll"

mkdir -p "$out"
out="$(cd "$out" && pwd)"
rm -f "$out"/corvane_*.deb "$out"/Corvane-*.msi "$out"/Corvane-*.zip "$out/SHA256SUMS"
cp "$native_dir"/corvane_*.deb "$out/"

step "the installer"
msi="$out/Corvane-$version-x64.msi"
cmake -DBUILD_DIR="$win_dir" -DSTAGE="$stage/$name" -DOUTPUT="$msi" -DSETUP_DLL="$setup_dll" -P packaging/windows/make-msi.cmake >/dev/null ||
  fail "building the installer failed"
sign "$msi"

step "the ZIP"
(cd "$stage" && cmake -E tar cf "$out/$name.zip" --format=zip "$name") || fail "making the ZIP failed"

(cd "$out" && sha256sum -- corvane_*.deb "${msi##*/}" "$name.zip" >SHA256SUMS)
step "done: $out"
sed 's/^/    /' "$out/SHA256SUMS"
