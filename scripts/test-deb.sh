#!/usr/bin/env bash
# Proves the Debian package on a clean Debian 12.
#
#   scripts/test-deb.sh [BUILD_DIR]          (default: build/release)
#
# Builds BUILD_DIR (a release build; configured with the release preset when
# it is new), makes the .deb there with `cpack -G DEB`, checks it with
# lintian (no errors), checks that no ELF file in it has an empty or relative
# RUNPATH or RPATH entry (tests/check-runpath.sh), and then:
#   1. piuparts: in a fresh minimal Debian 12 of its own the package installs
#      with what it declares, adequate finds nothing missing (libraries,
#      symbols), and purge leaves the system as it was;
#   2. our own check, in a root unpacked from piuparts' base tarball: the
#      package installed with apt-get beside SoftHSM2 with a token in its
#      default place; the user unit is enabled for every user and
#      `systemd-analyze verify` accepts it; the installed /usr/bin/corvane,
#      started with an empty environment, answers Quintrel's methods over a
#      WebSocket with what OpenSSL reads from the token's certificates, and
#      /usr/bin/corvane-doctor reports it ready.
#
# Needs root (chroot, mounts, a network namespace) and a Debian mirror:
# CORVANE_DEB_MIRROR, by default deb.debian.org, the one this machine's apt
# reads. Kept between runs in /var/cache/corvane (CORVANE_DEB_CACHE):
# piuparts' base tarball, made anew when older than CORVANE_DEB_BASE_DAYS
# days (default 7), and the packages apt downloaded for our check.
set -euo pipefail

tag=deb
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_dir="${1:-$build_root/release}"
cache="${CORVANE_DEB_CACHE:-/var/cache/corvane}"
base_days="${CORVANE_DEB_BASE_DAYS:-7}"
mirror="${CORVANE_DEB_MIRROR:-http://deb.debian.org/debian}"

if [[ $(id -u) -ne 0 ]]; then
  fail "must run as root: it builds a Debian root with debootstrap, mounts into it and chroots (try: sudo $0 $*)"
fi
need piuparts debootstrap adequate lintian systemd-analyze dpkg-shlibdeps file cpack openssl softhsm2-util pkcs11-tool unshare

# --- the package -----------------------------------------------------------
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  step "configuring $build_dir (release preset)"
  cmake --preset release -B "$build_dir" -S "$corvane_root" >/dev/null
fi
step "building $build_dir"
cmake --build "$build_dir" -j2 >/dev/null || fail "building $build_dir failed (run cmake --build $build_dir to see why)"
rm -f "$build_dir"/corvane_*.deb "$build_dir/piuparts.log"
(cd "$build_dir" && cpack -G DEB >/dev/null) || fail "cpack -G DEB failed"
debs=("$build_dir"/corvane_*_amd64.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made no single corvane_*_amd64.deb in $build_dir"
deb="${debs[0]}"
deb_name="$(basename "$deb")"
client="$build_dir/harness/corvane_ws_request"
[[ -x $client ]] || fail "$client is missing (a build with tests makes it)"
step "package: $deb"
dpkg-deb --field "$deb" Depends Suggests | sed 's/^/    /'

step "lintian"
lintian_log="$(mktemp)"
if ! lintian --fail-on error "$deb" >"$lintian_log" 2>&1; then
  grep -v 'running with root privileges' "$lintian_log" | sed 's/^/    /' >&2
  rm -f "$lintian_log"
  fail "lintian reports errors"
fi
grep -v 'running with root privileges' "$lintian_log" | sed 's/^/    /' || echo "    (nothing to report)"
rm -f "$lintian_log"

step "RUNPATH and RPATH of every ELF file in the package"
unpacked="$(mktemp -d)"
dpkg-deb -x "$deb" "$unpacked"
runpath_rc=0
bash "$corvane_root/tests/check-runpath.sh" "$unpacked" | sed "s|$unpacked||; s/^/    /" || runpath_rc=$?
rm -rf "$unpacked"
[[ $runpath_rc -eq 0 ]] || fail "a file of the package searches an empty or relative directory (above)"

# --- 1. piuparts ----------------------------------------------------------------
work="$(mktemp -d /var/tmp/corvane-deb.XXXXXX)"
root="$work/root"
mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null || true
  done
  # Never delete through a mount that is still there (/dev of the host).
  if findmnt -rn -o TARGET | grep -q "^$work/"; then
    echo "test-deb: mounts left under $work; not deleting it" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
mount_in_root() { # mount arguments..., target last
  mount "$@"
  mounts+=("${!#}")
}

mkdir -p "$cache/archives/partial"
base="$cache/piuparts-bookworm.tgz"
exec {cache_lock}>"$cache/lock"
flock "$cache_lock"
# Debian 12 as its installer makes it: merged /usr. Our package is in no
# archive, so there is nothing to upgrade from.
piuparts_args=(-d bookworm -m "$mirror" --merged-usr --no-upgrade-test --fail-if-inadequate
  --fail-on-broken-symlinks -t "$work" -l "$build_dir/piuparts.log")
if [[ ! -f $base || -n $(find "$base" -mtime +"$base_days") ]]; then
  step "piuparts, making its base tarball with debootstrap (kept in $base)"
  piuparts_args+=(--save="$base.new")
else
  step "piuparts on $base"
  piuparts_args+=(-b "$base")
fi
if ! piuparts "${piuparts_args[@]}" "$deb" >/dev/null 2>&1; then
  rm -f "$base.new"
  grep -E "ERROR|FAIL" "$build_dir/piuparts.log" | tail -20 | sed 's/^/    /' >&2
  fail "piuparts failed (its log: $build_dir/piuparts.log)"
fi
[[ ! -f $base.new ]] || mv "$base.new" "$base"
grep -E "INFO: (PASS|Installation of)" "$build_dir/piuparts.log" | sed 's/^[0-9.ms]* INFO: /    /'

# --- 2. our own check, in a root made from piuparts' base ---------------------------
mkdir -p "$root"
tar --numeric-owner -C "$root" -xzf "$base"
flock -u "$cache_lock"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount_in_root -t proc proc "$root/proc"
mount_in_root --bind /dev/pts "$root/dev/pts"
mount_in_root -t tmpfs tmpfs "$root/dev/shm"
mount_in_root --bind "$cache/archives" "$root/var/cache/apt/archives"

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }
apt_in_root() { in_root apt-get -y -q -o Dpkg::Use-Pty=0 "$@"; }

step "apt-get update in the root"
apt_in_root update >"$work/apt-update.log" 2>&1 || { cat "$work/apt-update.log" >&2; fail "apt-get update failed"; }

step "apt-get install --no-install-recommends ./$deb_name softhsm2"
cp "$deb" "$root/tmp/$deb_name"
apt_in_root install --no-install-recommends "./tmp/$deb_name" softhsm2 >"$work/apt-install.log" 2>&1 \
  || { cat "$work/apt-install.log" >&2; fail "apt-get install ./$deb_name softhsm2 failed in the root"; }
rm -f "$root/tmp/$deb_name"
[[ -f $root/usr/share/doc/corvane/examples/allowed-origins ]] || fail "no examples/allowed-origins in /usr/share/doc/corvane"
proxy=/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so
[[ -e $root$proxy ]] || fail "$proxy, which the token bridge opens by default, is not installed"
echo "    the token bridge's default module $proxy is there"

unit=/usr/lib/systemd/user/corvane.service
wants=/etc/systemd/user/default.target.wants/corvane.service
[[ -f $root$unit ]] || fail "$unit is not installed"
# deb-systemd-helper links to /lib/systemd/user, which is /usr/lib/... on
# Debian 12's merged /usr.
[[ -L $root$wants && $(in_root readlink -f "$wants") == "$unit" ]] \
  || fail "$wants is not a link to $unit: the service would not start at log-in"
echo "    enabled for every user: $wants -> $(readlink "$root$wants")"
# The unit names /usr/bin/corvane: let systemd-analyze see the installed one.
verify_out="$(unshare --mount sh -c '
  mount -t overlay overlay -o "lowerdir=$1/usr/bin:/usr/bin" /usr/bin &&
  XDG_RUNTIME_DIR="$(mktemp -d)" exec systemd-analyze --user verify "$1$2"' verify "$root" "$unit" 2>&1)" \
  || fail "systemd-analyze verify rejects $unit: $verify_out"
[[ -z $verify_out ]] || fail "systemd-analyze verify complains about $unit: $verify_out"
echo "    systemd-analyze --user verify $unit: no complaint"

# The installed service reads a SoftHSM2 token through p11-kit.
step "a token in SoftHSM2's default directory"
[[ -f $root/usr/share/p11-kit/modules/softhsm2.module ]] || fail "softhsm2 did not register with p11-kit"
# The token is made here with the project's script, then moved into the
# root's default token directory, which the root's default softhsm2.conf names.
"$corvane_root/scripts/provision-demo-token.sh" "$work/token" 'Package Test:alice,device' >/dev/null
tokendir="$(sed -n 's/^directories.tokendir *= *//p' "$root/etc/softhsm/softhsm2.conf")"
[[ -n $tokendir && -d $root$tokendir ]] || fail "no token directory in the root's /etc/softhsm/softhsm2.conf"
cp -a "$work/token/tokens/." "$root$tokendir/"

step "env -i /usr/bin/corvane in the root, asked over a WebSocket"
"$corvane_root/tests/run-in-netns.sh" bash -c '
  chroot "$1" env -i /usr/bin/corvane >"$2/access.log" 2>"$2/error.log" &
  service=$!
  "$3" "{\"MsgId\":\"1\",\"Module\":\"Quintrel\"}" \
       "{\"MsgId\":\"Quintrel\",\"Method\":\"Quintrel\",\"Param\":\"{}\"}" \
       "{\"MsgId\":\"GetCertNotAfter\",\"Method\":\"GetCertNotAfter\",\"Param\":\"{}\"}" >"$2/answers"
  asked=$?
  chroot "$1" env -i /usr/bin/corvane-doctor --json >"$2/doctor.json"
  echo "$?" >"$2/doctor-exit"
  kill -TERM "$service"
  (sleep 10 && kill -KILL "$service" 2>/dev/null) &
  watchdog=$!
  wait "$service"
  echo "$?" >"$2/service-exit"
  kill "$watchdog" 2>/dev/null
  exit "$asked"' test-deb "$root" "$work" "$client" \
  || { cat "$work/error.log" >&2; fail "no answers from the installed service"; }
sed 's/^/    < /' "$work/answers"
[[ $(cat "$work/service-exit") == 0 ]] || fail "the service exited with $(cat "$work/service-exit") after SIGTERM, not 0"
# The error log also holds the WebSocket library's notes on stopping.
if grep -q 'libKestova:' "$work/error.log"; then
  sed 's/^/    error log: /' "$work/error.log" >&2
  fail "the token bridge could not use its module"
fi

# One answer's records, one per line, sorted: the walk order is the token's.
records() { sed -n "${1}p" "$work/answers" | sed 's/.*"Result":true,"Response":"\(.*\)"}$/\1/' | tr ';' '\n' | sed '/^$/d' | sort; }
names=() dates=()
for kind in alice device; do
  pem="$work/token/certs/$kind.pem"
  name="$(openssl x509 -in "$pem" -noout -subject -nameopt sep_multiline,utf8,-esc_msb | sed -n 's/^ *CN=//p')"
  serial="$(openssl x509 -in "$pem" -noout -serial | sed 's/^serial=//' | tr 'A-F' 'a-f')"
  not_after="$(date -u -d "$(openssl x509 -in "$pem" -noout -enddate | sed 's/^notAfter=//')" +%Y-%-m-%-d)"
  names+=("$name")
  dates+=("$serial:$not_after")
done
[[ $(sed -n 1p "$work/answers") == '{"MsgId":"LoadModule","Result":true,"Response":"Load module success"}' ]] \
  || fail "loading Quintrel failed"
[[ $(records 2) == "$(printf '%s\n' "${names[@]}" | sort)" ]] \
  || fail "Quintrel answered other names than OpenSSL reads: $(sed -n 2p "$work/answers")"
[[ $(records 3) == "$(printf '%s\n' "${dates[@]}" | sort)" ]] \
  || fail "GetCertNotAfter answered other records than OpenSSL reads: $(sed -n 3p "$work/answers")"
echo "    Quintrel and GetCertNotAfter match OpenSSL's reading of the token's certificates"

# The installed doctor finds the same service and token by the same rules.
[[ $(cat "$work/doctor-exit") == 0 ]] && grep -q '"ready": true' "$work/doctor.json" ||
  fail "corvane-doctor in the root is not ready: $(cat "$work/doctor.json")"
for name in "${names[@]}"; do
  grep -qF "\"commonName\": \"$name\"" "$work/doctor.json" || fail "corvane-doctor does not list $name"
done
echo "    corvane-doctor: $(sed -n 's/^ *"summary": "\(.*\)"$/\1/p' "$work/doctor.json")"

step "passed"
