#!/usr/bin/env bash
# Fails when an ELF executable or shared library under DIR has a RUNPATH or
# RPATH entry that is empty or relative (other than one based on $ORIGIN):
# the dynamic loader reads those against the current directory, so a binary
# started elsewhere would load libraries from wherever it was started.
#
#   tests/check-runpath.sh DIR...
set -euo pipefail

[[ $# -gt 0 ]] || { echo "usage: $0 DIR..." >&2; exit 2; }
command -v readelf >/dev/null || { echo "check-runpath: readelf is missing (binutils)" >&2; exit 2; }

checked=0 executables=0 bad=0
while IFS= read -r -d '' file; do
  # Only ELF files; object files and archives carry no dynamic section.
  magic=""
  IFS= read -r -d '' -n 4 magic <"$file" || true
  [[ $magic == $'\x7fELF' ]] || continue
  type="$(LC_ALL=C readelf -h "$file" 2>/dev/null | sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p')"
  [[ $type == EXEC || $type == DYN ]] || continue
  checked=$((checked + 1))
  [[ -x $file && ! $file =~ \.so(\.[0-9]+)*$ ]] && executables=$((executables + 1))
  while IFS= read -r line; do
    kind="${line%%:*}"
    paths="${line#*:}"
    # Every entry, the empty ones before, between and after colons included.
    rest="$paths:"
    while [[ -n $rest ]]; do
      entry="${rest%%:*}"
      rest="${rest#*:}"
      if [[ -z $entry || ($entry != /* && ! $entry =~ ^\$(ORIGIN|\{ORIGIN\})(/|$)) ]]; then
        echo "check-runpath: $file: $kind [$paths] has an empty or relative entry ('$entry')"
        bad=$((bad + 1))
        break
      fi
    done
  done < <(LC_ALL=C readelf -d "$file" 2>/dev/null |
           sed -n 's/.*(\(RUNPATH\|RPATH\)) *Library r[a-z]*path: \[\(.*\)\]$/\1:\2/p')
done < <(find "$@" -type f -size +63c -print0)

if [[ $checked -eq 0 || $executables -eq 0 ]]; then
  echo "check-runpath: no ELF executable under $*: nothing was checked" >&2
  exit 1
fi
echo "check-runpath: $checked ELF files ($executables executables), $bad with an empty or relative entry"
[[ $bad -eq 0 ]]
