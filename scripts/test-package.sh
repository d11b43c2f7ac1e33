#!/usr/bin/env bash
# scripts/package.sh with a throwaway code-signing certificate, made here with
# OpenSSL (a CA and a signer with the code-signing usage), and a check of
# what it produced: the .deb, the MSI and the ZIP, SHA256SUMS matching them,
# and Authenticode signatures by that signer, trusted through the throwaway
# CA, on the MSI and on Corvane.exe, Corvane-Doctor.exe and Quintrel.dll inside both the MSI and
# the ZIP, and on the installer's custom action CorvaneSetup.dll inside the MSI. No time-stamp server: CI has no network.
#
# Usage: scripts/test-package.sh   (CORVANE_BUILD_ROOT as for package.sh)
set -euo pipefail

tag=package
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need openssl osslsigncode msiextract msiinfo unzip sha256sum

work="$build_root/package-test"
rm -rf "$work"
mkdir -p "$work/ca"
work="$(cd "$work" && pwd)"
ca="$work/ca"

step "a throwaway CA and code-signing certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Corvane throwaway test CA" \
  -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$ca/ca.key" -out "$ca/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=Corvane throwaway test signer" \
  -keyout "$ca/signer.key" -out "$ca/signer.csr" 2>/dev/null
printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$ca/signer.ext"
openssl x509 -req -days 2 -in "$ca/signer.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" -CAcreateserial \
  -extfile "$ca/signer.ext" -out "$ca/signer.pem" 2>/dev/null
password="$(openssl rand -hex 16)"
openssl pkcs12 -export -inkey "$ca/signer.key" -in "$ca/signer.pem" -out "$ca/signer.p12" \
  -passout file:<(printf '%s' "$password")
signer_hash="sha256:$(openssl x509 -in "$ca/signer.pem" -outform DER | sha256sum | cut -d' ' -f1)"

# The password file as an editor leaves it: a line end, maybe a note below.
printf '%s\r\nthe password for signer.p12\n' "$password" >"$ca/password"
scripts/package.sh --pfx "$ca/signer.p12" --password-file "$ca/password" --out "$work/dist"

step "checking $work/dist"
dist="$work/dist"
listing="$(cd "$dist" && ls)"
[[ "$(grep -cE '^corvane_[0-9.]+_amd64\.deb$|^Corvane-[0-9.]+-x64\.msi$|^Corvane-[0-9.]+-win64\.zip$|^SHA256SUMS$' <<<"$listing")" == 4 &&
  "$(wc -l <<<"$listing")" == 4 ]] || fail "dist/ holds: $(tr '\n' ' ' <<<"$listing")"
ok "$(tr '\n' ' ' <<<"$listing")"
[[ "$(wc -l <"$dist/SHA256SUMS")" == 3 ]] && (cd "$dist" && sha256sum --quiet -c SHA256SUMS) ||
  fail "SHA256SUMS does not list the three packages correctly"
ok "SHA256SUMS lists the three packages and matches them"

# verify <file>: signed by the throwaway signer, trusted through its CA.
verify() {
  osslsigncode verify -CAfile "$ca/ca.pem" -require-leaf-hash "$signer_hash" -in "$1" >"$work/verify.log" 2>&1 ||
    fail "no valid signature of the test signer on ${1#"$work"/}: $(tail -5 "$work/verify.log")"
  ok "signed: ${1#"$work"/}"
}
verify "$dist"/Corvane-*-x64.msi
msiextract -C "$work/from-msi" "$dist"/Corvane-*-x64.msi >/dev/null
unzip -q -d "$work/from-zip" "$dist"/Corvane-*-win64.zip
for file in Corvane.exe Corvane-Doctor.exe Quintrel.dll; do
  in_msi="$(find "$work/from-msi" -name "$file")"
  in_zip="$(find "$work/from-zip" -name "$file")"
  [[ -n "$in_msi" && -n "$in_zip" ]] || fail "$file is missing from the MSI or the ZIP"
  verify "$in_msi"
  cmp -s "$in_msi" "$in_zip" || fail "$file differs between the MSI and the ZIP"
  ok "$file is the same in the ZIP"
done
# The custom action runs inside the installer, from the MSI's Binary table.
msiinfo extract "$dist"/Corvane-*-x64.msi Binary.CorvaneSetupDll >"$work/CorvaneSetup.dll" ||
  fail "the MSI holds no CorvaneSetup.dll"
verify "$work/CorvaneSetup.dll"
step "passed"
