#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the service and the tests need
# and is not on this machine yet. Safe to run again; does nothing when all is
# there. Pass --runtime for only what building and running the service needs.
set -euo pipefail

runtime_packages=(
  ca-certificates
  cmake
  g++
  make
  pkgconf
  libwebsocketpp-dev
  libasio-dev
  rapidjson-dev
  libssl-dev
  libp11-kit-dev
  p11-kit-modules
  softhsm2
  opensc
  openssl
)

test_packages=(
  googletest
  # the real PIN prompt that the signing tests drive on a pseudo-terminal
  pinentry-tty
  libgtest-dev
  iproute2
  util-linux
  g++-mingw-w64-x86-64-posix
  wine
  wine64
  unzip
  chromium
  firefox-esr
  python3-cryptography
  pcscd
  vsmartcard-vpcd
  vsmartcard-vpicc
  python3-pycryptodome
  wixl
  msitools
  osslsigncode
  # a display for the Windows PIN dialog under Wine, and its screenshot
  xvfb
  imagemagick
  gnuplot-nox
  dpkg-dev
  file
  debootstrap
  piuparts
  adequate
  lintian
  systemd
  zstd
  libxml2-utils
  clang
  libfuzzer-14-dev
  libclang-rt-14-dev
  libasan8
)

wanted=("${runtime_packages[@]}")
if [[ "${1:-}" != "--runtime" ]]; then
  wanted+=("${test_packages[@]}")
fi

# The browser tests need node and npm. A machine may already have them from
# elsewhere (a nodejs package that bundles npm, which Debian's npm package
# would conflict with): then Debian's are left out.
if [[ "${1:-}" != "--runtime" ]]; then
  command -v node >/dev/null || wanted+=(nodejs)
  command -v npm >/dev/null || wanted+=(npm)
fi

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
