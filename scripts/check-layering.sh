#!/usr/bin/env bash
# Checks the include rules of docs/architecture.md ("Rules a change must
# keep") by grepping the sources, and names each file and line that breaks
# one:
#   1. WebSocket++ is included only by server/CorvaneServer.cpp and
#      server/EndpointConfig.h, the benchmark's bare endpoint
#      (bench/BareServer.cpp) and the doctor test's foreign service
#      (tests/**/DoctorE2eTest.cpp);
#   2. server/EndpointConfig.h only by server/CorvaneServer.cpp;
#   3. a portable source includes no Windows, POSIX or Linux system header
#      and tests no platform macro. Per-platform are the files named
#      *Linux.*, *Windows.*, *Posix.*, Windows*.h, *CryptoApi.cpp and
#      *OpenSsl.cpp, and the export macro of plugin/CorvanePlugin.h; tests/,
#      harness/, bench/, examples/, tools/kestova-bridge/ and
#      packaging/windows/setup/ run on one platform or drive it from outside
#      and are not checked;
#   4. each folder includes only the folders below it: platform/ below
#      everything, then notification/, plugin/, server/ and tools/doctor/;
#      plugins/quintrel/ only platform/, plugin/CorvanePlugin.h and
#      plugin/Utf8.h; examples/ only plugin/CorvanePlugin.h. No production
#      source reaches into tests/, harness/ or bench/, nor includes by "../".
#      Folders not named here are not restricted.
# An include through a macro is reported too: it would hide the header from
# every rule.
#
# Usage: scripts/check-layering.sh [source directory]   (default: the tree
# this script is in). Exit code 0 when every rule holds, 1 otherwise.
set -euo pipefail

root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
cd "$root"

# Every C and C++ source of the tree, without build trees and installed
# JavaScript packages.
sources() {
  find . -type d \( -name .git -o -path './build*' -o -name node_modules -o -path ./dist \) -prune -o \
    -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.cxx' -o -name '*.c' -o -name '*.h' -o -name '*.hh' \
    -o -name '*.hpp' -o -name '*.hxx' -o -name '*.inl' -o -name '*.ipp' \) -print |
    sed 's|^\./||' | LC_ALL=C sort
}

# One grep for the preprocessor lines of every source (xargs says 123 when
# one batch of files has none), one awk for the rules.
lines="$(sources | tr '\n' '\0' |
  xargs -0 grep -HnE '^[[:space:]]*#[[:space:]]*(include|if|ifdef|ifndef|elif)([^A-Za-z0-9_]|$)')" ||
  [[ $? -eq 123 ]]
[[ -n "$lines" ]] || { echo "layering: no sources found in $root" >&2; exit 1; }
LC_ALL=C awk '
function report(text) { printf "%s:%s: %s\n", file, line, text; found = 1 }
function basename(path) { sub(/.*\//, "", path); return path }
function perPlatform(path,   name) {
  name = basename(path)
  return name ~ /(Linux|Windows|Posix)\.[a-z]+$/ || name ~ /^Windows.*\.h$/ || name ~ /(CryptoApi|OpenSsl)\.cpp$/
}
function notCheckedForPortability(path) {
  return path ~ /^(tests|harness|bench|examples)\// || path ~ /^tools\/kestova-bridge\// ||
         path ~ /^packaging\/windows\/setup\//
}
function layerOf(path) {
  if (path ~ /^platform\//) return "platform"
  if (path ~ /^notification\//) return "notification"
  if (path ~ /^plugin\//) return "plugin"
  if (path ~ /^server\//) return "server"
  if (path ~ /^tools\/doctor\//) return "doctor"
  if (path ~ /^plugins\/quintrel\//) return "quintrel"
  if (path ~ /^examples\//) return "examples"
  if (path ~ /^websocket\//) return "websocket"
  return ""
}
# Whether a source of layer may include path, as written between quotes.
function mayInclude(layer, path) {
  if (path ~ /(^|\/)\.\.\//) return 0
  if (path ~ /^(tests|harness|bench)\//) return 0
  if (layer == "platform") return path !~ /^(notification|plugin|server|tools|plugins|websocket)\//
  if (layer == "notification") return path !~ /^(plugin|server|tools|plugins|websocket)\//
  if (layer == "plugin") return path !~ /^(server|tools|plugins|websocket)\//
  if (layer == "server") return path !~ /^(tools|plugins|websocket)\//
  if (layer == "doctor") return path !~ /^plugins\//
  if (layer == "quintrel")
    return path == "plugin/CorvanePlugin.h" || path == "plugin/Utf8.h" || path !~ /^(notification|plugin|server|tools|websocket)\//
  if (layer == "websocket") return path !~ /^(platform|notification|plugin|server|tools|plugins)\//
  if (layer == "examples")
    return path == "plugin/CorvanePlugin.h" || path !~ /^(notification|plugin|server|tools|plugins|platform|websocket)\//
  return 1
}
BEGIN {
  systemHeader = "^(windows\\.h|win[a-z0-9_]*\\.h|ws2[a-z0-9_]*\\.h|[a-z]*api\\.h|bcrypt\\.h|ncrypt\\.h|shlobj\\.h|shellapi\\.h|tlhelp32\\.h|iphlpapi\\.h|psapi\\.h|sddl\\.h|aclapi\\.h|userenv\\.h|lmcons\\.h|commctrl\\.h|objbase\\.h|unistd\\.h|sys/.*|dlfcn\\.h|linux/.*|netinet/.*|arpa/.*|net/.*|poll\\.h|fcntl\\.h|pwd\\.h|grp\\.h|signal\\.h|netdb\\.h|spawn\\.h|termios\\.h|dirent\\.h|pthread\\.h|syslog\\.h|sched\\.h|semaphore\\.h|link\\.h|elf\\.h|ifaddrs\\.h)$"
  platformMacro = "(^|[^A-Za-z0-9_])(_WIN32|_WIN64|__linux__|__linux|__unix__|__unix|__APPLE__|__MINGW32__|__MINGW64__|_MSC_VER|__CYGWIN__)([^A-Za-z0-9_]|$)"
}
{
  # file:line:text; a file name holds no colon in this tree.
  file = $0; sub(/:.*/, "", file)
  rest = substr($0, length(file) + 2)
  line = rest; sub(/:.*/, "", line)
  text = substr(rest, length(line) + 2)
  portable = !perPlatform(file) && !notCheckedForPortability(file)

  if (text ~ /^[ \t]*#[ \t]*include/) {
    target = text
    sub(/^[ \t]*#[ \t]*include[ \t]*/, "", target)
    quoted = substr(target, 1, 1) == "\""
    if (!quoted && substr(target, 1, 1) != "<")
      report("includes through a macro, which hides what it includes: " text)
    sub(/^[<"]/, "", target)
    sub(/[>"].*/, "", target)

    if (target ~ /(^|\/)websocketpp\// && file != "server/CorvaneServer.cpp" && file != "server/EndpointConfig.h" &&
        !(file ~ /^websocket\// && target ~ /^websocketpp\/(sha1|base64)\/[a-z0-9]+\.hpp$/) &&
        file != "bench/BareServer.cpp" && file !~ /^tests\/(.*\/)?DoctorE2eTest\.cpp$/)
      report("includes WebSocket++, which only server/CorvaneServer.cpp may")
    if (target ~ /(^|\/)EndpointConfig\.h$/ && file != "server/CorvaneServer.cpp")
      report("includes server/EndpointConfig.h, which only server/CorvaneServer.cpp may")
    if (portable && tolower(target) ~ systemHeader)
      report("portable source includes a system header: <" target ">")
    layer = layerOf(file)
    if (quoted && layer != "" && !mayInclude(layer, target))
      report(layer "/ may not include \"" target "\" (a folder includes only the folders below it)")
  } else if (portable && file != "plugin/CorvanePlugin.h" && text ~ platformMacro) {
    report("portable source tests a platform macro: " text)
  }
}
END {
  if (found) {
    print "layering: the rules of docs/architecture.md are broken above" > "/dev/stderr"
    exit 1
  }
  print "layering: every include keeps the rules of docs/architecture.md"
}' <<<"$lines"
