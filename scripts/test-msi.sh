#!/usr/bin/env bash
# The Windows installer under Wine, in a fresh prefix, in a private network
# namespace with a wineserver of its own:
#   1. silent install (msiexec /i … /qn) with ALLOWEDORIGINS;
#   2. the files (the Group Policy template in PolicyDefinitions too) and the
#      Run value are there, the installed-programs entry names publisher and
#      help link, the origin policy is the value the template describes, and
#      the service the install started answers a Quintrel load from a listed
#      origin and refuses others;
#   3. a test build with a higher version (changed Corvane.exe and README)
#      replaces it: one product, the new files, the origin policy kept, the
#      service running again as a new process; then the older package is
#      refused and changes nothing;
#   4. silent uninstall (msiexec /x … /qn) while the service runs;
#   5. no file, no Run value, no origin policy, no product, no Corvane.exe,
#      port 1237 free;
#   6. the policy written as the template describes (as Group Policy does),
#      then an install with an empty ALLOWEDORIGINS: the service enforces that
#      policy, and the uninstall leaves it, even when given the property;
#   7. ALLOWEDORIGINS with installer syntax in it ([~], [PROPERTY], {…}) is
#      written as given and removed by the uninstall.
#
# Usage: scripts/test-msi.sh [windows cross build dir] [native build dir]
#   Defaults as in scripts/test-windows.sh, which builds both and calls this.
set -euo pipefail

tag=msi
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
win_dir="$(cd "${1:-${CORVANE_WINDOWS_BUILD_DIR:-$build_root/windows-cross}}" && pwd)"
native_dir="$(cd "${2:-${CORVANE_NATIVE_BUILD_DIR:-$build_root/release}}" && pwd)"

if [[ "${CORVANE_MSI_TEST_INSIDE:-}" != 1 ]]; then
  exec env CORVANE_MSI_TEST_INSIDE=1 tests/run-in-netns.sh bash "$0" "$win_dir" "$native_dir"
fi

request="$native_dir/harness/corvane_ws_request"
[[ -x "$request" ]] || fail "no $request: build the native release preset first"
need wine wineserver msiinfo ss
msi="$win_dir/Corvane-$(sed -n 's/^set(CORVANE_MSI_VERSION "\(.*\)")$/\1/p' "$win_dir/msi-settings.cmake" 2>/dev/null)-x64.msi"
[[ -f "$msi" ]] || fail "no $msi: build the Windows cross build with wixl installed"

work="$win_dir/msi-test"
rm -rf "$work"
mkdir -p "$work"
use_wine_prefix "$work/wineprefix"
cleanup() {
  stop_wineserver
  reap_wine_prefix
}
trap cleanup EXIT

# Corvane.exe runs its service in a child Corvane.exe: two processes, listed
# as one line of sorted ids.
service_pids() { wine_prefix_pids '^Corvane\.exe$' | sort -n | paste -sd' '; }
two_pids='^[0-9]+ [0-9]+$'
port_free() { [[ -z "$(ss -Hltn 'sport = :1237')" ]]; }
port_free || fail "something listens on 127.0.0.1:1237 (no private network namespace?)"

# msiexec <log name> <arguments...>: Wine passes on the low byte of
# Windows Installer's exit code (1603, a failed install, arrives as 67).
msiexec() {
  local log="$1"
  shift
  wine msiexec "$@" /l*v "$(winepath -w "$work/$log.log")" >>"$work/msiexec-output.log" 2>&1
}
# The origin policy where the Group Policy template puts it, and the value
# with which the installer remembers what it wrote.
IFS=$'\t' read -r policy_class policy_key policy_name policy_type < <(
  python3 tests/windows/check_policy_template.py packaging/windows/policy/Corvane.admx --registry)
[[ "$policy_class|$policy_type" == "Machine|REG_MULTI_SZ" ]] ||
  fail "the template's policy is '$policy_class' '$policy_type', not a REG_MULTI_SZ of the machine"
policy_key="HKLM\\$policy_key"
# "<type> <data>" of a registry value, strings of a REG_MULTI_SZ joined by \0;
# nothing when there is none.
registry_value() {
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -nE "s/^ +$2 +([A-Z_]+) +/\1 /p"
}
policy_value() { registry_value "$policy_key" "$policy_name"; }
marker_value() { registry_value 'HKLM\Software\Corvane' InstalledAllowedOrigins; }
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }

install_dir="$WINEPREFIX/drive_c/Program Files/Corvane"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
run_value() { wine reg query "$run_key" /v Corvane 2>/dev/null | tr -d '\r' | sed -n 's/^ *Corvane *REG_SZ *//p'; }
# One line "version|publisher|help link" per installed product named Corvane.
products() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    awk '/^HKEY_/ { if (name == "Corvane") print version "|" publisher "|" help; name = version = publisher = help = "" }
         $1 == "DisplayName" { name = $3 }
         $1 == "DisplayVersion" { version = $3 }
         $1 == "Publisher" { sub(/^ *Publisher *REG_SZ */, ""); publisher = $0 }
         $1 == "HelpLink" { help = $3 }
         END { if (name == "Corvane") print version "|" publisher "|" help }'
}
# quintrel_answers [origin]: a Quintrel load, from a page of that origin.
quintrel_answers() {
  local answer
  answer="$("$request" --wait 30 ${1:+--origin "$1"} '{"MsgId":"1","Module":"Quintrel"}')" || return 1
  [[ "$answer" == '{"MsgId":"LoadModule","Result":true,"Response":"Load module success"}' ]] ||
    { echo "unexpected answer: $answer" >&2; return 1; }
}
# refused <origin>: the service answers the handshake of that origin with 403.
refused() {
  local rc=0
  "$request" --wait 30 --origin "$1" '{"MsgId":"1","Module":"Quintrel"}' >/dev/null 2>"$work/refused.err" || rc=$?
  [[ $rc -eq 2 ]] && grep -q 'HTTP status 403' "$work/refused.err"
}
# enforces <listed origin> <unlisted origin>...
enforces() {
  local origin
  quintrel_answers "$1" || fail "the service does not serve the listed origin $1"
  shift
  for origin in "$@"; do
    refused "$origin" || fail "the service does not refuse $origin: $(cat "$work/refused.err")"
  done
}
local_policy_dir="$WINEPREFIX/drive_c/windows/PolicyDefinitions"
files_of() { (cd "$1" && find . -type f | sort); }

# The package's version must be the one Corvane.exe carries, and a test build
# one patch version higher is the upgrade.
step "the package, and a test build to upgrade to"
version="$(property "$msi" ProductVersion)"
help_link="$(property "$msi" ARPHELPLINK)"
publisher="$(property "$msi" Manufacturer)"
[[ -n "$help_link" && -n "$publisher" ]] || fail "the package lacks ARPHELPLINK or Manufacturer"
cmake --install "$win_dir" --prefix "$work/stage" --strip >/dev/null
exe_version="$(strings -el "$work/stage/Corvane.exe" | grep -A1 -x FileVersion | tail -1)"
[[ "$version" == "$exe_version" ]] || fail "ProductVersion $version differs from Corvane.exe's version $exe_version"
ok "ProductVersion $version is Corvane.exe's version"
IFS=. read -r major minor patch tweak <<<"$version"
new_version="$major.$minor.$((patch + 1)).$tweak"
cp -a "$work/stage" "$work/upgrade-stage"
# Bytes after the last section are not loaded, so this is still a working
# program, but a different file.
printf 'upgrade test build\n' >>"$work/upgrade-stage/Corvane.exe"
printf '\nupgrade test build\n' >>"$work/upgrade-stage/README.md"
cmake -DBUILD_DIR="$win_dir" -DSTAGE="$work/upgrade-stage" -DVERSION="$new_version" \
  -DOUTPUT="$work/Corvane-$new_version-x64.msi" -P packaging/windows/make-msi.cmake >/dev/null
new_msi="$work/Corvane-$new_version-x64.msi"

step "creating a fresh Wine prefix"
wineboot -i >/dev/null 2>&1 || fail "wineboot -i failed"
wineserver -w
wineserver -p
wine cmd.exe /c exit 2>/dev/null || true

origins="https://app.example.org https://*.intranet.example.org"
step "1. silent install of ${msi##*/} with ALLOWEDORIGINS=\"$origins\""
msiexec install /i "$(winepath -w "$msi")" /qn ALLOWEDORIGINS="$origins" || fail "msiexec /i failed ($?); logs in $work"
ok "msiexec /i /qn ALLOWEDORIGINS=\"$origins\""

step "2. files, Run value, installed-programs entry, the started service"
[[ "$(files_of "$install_dir")" == "$(files_of "$work/stage")" ]] ||
  fail "the installed files differ from the build's: $(diff <(files_of "$work/stage") <(files_of "$install_dir") | tr '\n' ' ')"
ok "every installed file of the build is in Program Files\\Corvane"
[[ "$(run_value)" == '"C:\Program Files\Corvane\Corvane.exe"' ]] || fail "Run value: '$(run_value)'"
ok "Run value $(run_value)"
[[ "$(products)" == "$version|$publisher|$help_link" ]] || fail "installed products: $(products | tr '\n' ' ')"
ok "one product: $(products)"
quintrel_answers || fail "the service started by the install does not load Quintrel"
first_pid="$(service_pids)"
[[ "$first_pid" =~ $two_pids ]] || fail "expected Corvane.exe and its service, found: $first_pid"
ok "Corvane.exe and its service (pids $first_pid) answer a Quintrel load"
for file in Corvane.admx en-US/Corvane.adml; do
  cmp -s "$local_policy_dir/$file" "$work/stage/policy/$file" || fail "no PolicyDefinitions\\$file"
done
ok "the Group Policy template in C:\\windows\\PolicyDefinitions"
expected_policy='REG_MULTI_SZ https://app.example.org\0https://*.intranet.example.org'
[[ "$(policy_value)" == "$expected_policy" ]] || fail "origin policy: '$(policy_value)'"
ok "$policy_key $policy_name: $(policy_value)"
enforces https://team.intranet.example.org https://intranet.example.org https://other.example
ok "the service serves https://team.intranet.example.org, refuses https://intranet.example.org and https://other.example"

shortcut() { find "$WINEPREFIX/drive_c" -name 'Corvane diagnostics.lnk' 2>/dev/null; }
[[ -n "$(shortcut)" ]] || fail "no Start-menu shortcut \"Corvane diagnostics\""
ok "Start-menu shortcut: $(shortcut | sed "s|^$WINEPREFIX/||")"
doctor_json="$(wine "C:\\Program Files\\Corvane\\Corvane-Doctor.exe" --json 2>/dev/null | tr -d '\r')" || true
grep -q '"serviceAnswers": true' <<<"$doctor_json" && grep -q 'Quintrel.dll exports Invoke' <<<"$doctor_json" ||
  fail "the installed Corvane-Doctor.exe does not find the service and Quintrel: $doctor_json"
ok "the installed Corvane-Doctor.exe finds the service and Quintrel"

step "3. upgrade to the test build ${new_msi##*/}"
msiexec upgrade /i "$(winepath -w "$new_msi")" /qn || fail "the upgrade failed ($?); logs in $work"
[[ "$(products)" == "$new_version|$publisher|$help_link" ]] || fail "installed products: $(products | tr '\n' ' ')"
ok "one product: $(products)"
cmp -s "$install_dir/Corvane.exe" "$work/upgrade-stage/Corvane.exe" &&
  cmp -s "$install_dir/README.md" "$work/upgrade-stage/README.md" || fail "the upgrade's files are not installed"
ok "the new Corvane.exe and README.md"
quintrel_answers || fail "no service answers after the upgrade"
second_pid="$(service_pids)"
[[ "$second_pid" =~ $two_pids && "$second_pid" != "$first_pid" ]] ||
  fail "expected a new Corvane.exe and service instead of pids $first_pid, found: $second_pid"
ok "a new Corvane.exe and its service (pids $second_pid) answer a Quintrel load"
[[ "$(policy_value)" == "$expected_policy" ]] || fail "the upgrade changed the origin policy: '$(policy_value)'"
enforces https://app.example.org https://other.example
ok "the origin policy is kept, and the new service enforces it"
if msiexec downgrade /i "$(winepath -w "$msi")" /qn; then
  fail "the older package $version installed over $new_version"
fi
[[ "$(products)" == "$new_version|$publisher|$help_link" && "$(service_pids)" == "$second_pid" ]] ||
  fail "the refused downgrade changed something: $(products | tr '\n' ' '), service $(service_pids)"
ok "the older package is refused; $new_version and its service stay"

step "4. silent uninstall while the service runs"
msiexec uninstall /x "$(winepath -w "$new_msi")" /qn || fail "msiexec /x failed ($?); logs in $work"
ok "msiexec /x /qn"

step "5. nothing left"
[[ ! -e "$install_dir" ]] || fail "left behind: $(cd "$install_dir" && find . | tr '\n' ' ')"
ok "no Program Files\\Corvane"
[[ -z "$(run_value)" ]] || fail "the Run value is still there"
ok "no Run value"
[[ -z "$(policy_value)" && -z "$(marker_value)" ]] || fail "left behind: '$(policy_value)' '$(marker_value)'"
ok "no origin policy"
[[ ! -e "$local_policy_dir/Corvane.admx" && ! -e "$local_policy_dir/en-US/Corvane.adml" ]] ||
  fail "the Group Policy template is still in PolicyDefinitions"
ok "no Group Policy template in PolicyDefinitions"
[[ -z "$(products)" ]] || fail "still installed: $(products)"
ok "no product"
[[ -z "$(shortcut)" ]] || fail "the shortcut is still there: $(shortcut)"
ok "no Start-menu shortcut"
[[ -z "$(service_pids)" ]] || fail "Corvane.exe still runs: $(service_pids)"
ok "no Corvane.exe"
for _ in 1 2 3 4 5 6 7 8 9 10; do port_free && break; sleep 0.5; done
port_free || fail "port 1237 is still taken: $(ss -Hltnp 'sport = :1237')"
ok "port 1237 free"

step "6. a policy as the template describes it, an install with an empty ALLOWEDORIGINS, the uninstall"
wine reg add "$policy_key" /v "$policy_name" /t "$policy_type" /d 'https://gp.example.org\0https://*.gp.example.org' /f \
  >/dev/null 2>&1 || fail "reg add of the policy failed"
gp_policy="$(policy_value)"
msiexec install-empty /i "$(winepath -w "$msi")" /qn ALLOWEDORIGINS="" || fail "msiexec /i failed ($?); logs in $work"
[[ "$(policy_value)" == "$gp_policy" && -z "$(marker_value)" ]] ||
  fail "the install changed the policy: '$(policy_value)' '$(marker_value)'"
ok "the install wrote no policy"
enforces https://a.gp.example.org https://app.example.org
ok "the service serves https://a.gp.example.org, refuses https://app.example.org"
# An uninstall goes by what the install wrote, not by what it is told now.
msiexec uninstall-empty /x "$(winepath -w "$msi")" /qn ALLOWEDORIGINS=https://gp.example.org ||
  fail "msiexec /x failed ($?); logs in $work"
[[ "$(policy_value)" == "$gp_policy" && -z "$(products)" ]] || fail "after the uninstall: '$(policy_value)', $(products)"
ok "the uninstall leaves the policy it did not write: $gp_policy"

step "7. installer syntax in ALLOWEDORIGINS"
hostile='[~] [ProductName] {[INSTALLDIR]} [\[] https://app.example.org'
msiexec install-hostile /i "$(winepath -w "$msi")" /qn ALLOWEDORIGINS="$hostile" ||
  fail "msiexec /i failed ($?); logs in $work"
expected_policy='REG_MULTI_SZ [~]\0[ProductName]\0{[INSTALLDIR]}\0[\[]\0https://app.example.org'
[[ "$(policy_value)" == "$expected_policy" ]] || fail "origin policy: '$(policy_value)', expected '$expected_policy'"
ok "written as given: $(policy_value)"
enforces https://app.example.org https://other.example
ok "the service skips what is no origin and enforces the rest"
msiexec uninstall-hostile /x "$(winepath -w "$msi")" /qn || fail "msiexec /x failed ($?); logs in $work"
[[ -z "$(policy_value)" && -z "$(marker_value)" && -z "$(products)" ]] ||
  fail "after the uninstall: '$(policy_value)' '$(marker_value)' $(products)"
ok "removed by the uninstall"

step "passed"
