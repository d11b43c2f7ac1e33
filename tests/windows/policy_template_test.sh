#!/usr/bin/env bash
# The Group Policy template passes check_policy_template.py, and the checker
# catches each fault a hand edit of the template tends to make.
#   policy_template_test.sh <packaging/windows/policy>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$1"
check="$here/check_policy_template.py"
python3 "$check" "$source_dir/Corvane.admx"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0
# expect_fault <description> <message the checker must give> <file> <sed script>
expect_fault() {
  rm -rf "$work/t" && cp -r "$source_dir" "$work/t"
  sed -i "$4" "$work/t/$3"
  if cmp -s "$source_dir/$3" "$work/t/$3"; then
    echo "FAIL $1: the edit changed nothing (the template changed?)"; failed=1; return
  fi
  if output="$(python3 "$check" "$work/t/Corvane.admx" 2>&1)"; then
    echo "FAIL $1: accepted"; failed=1
  elif ! grep -qF -- "$2" <<<"$output"; then
    echo "FAIL $1: expected \"$2\", got: $output"; failed=1
  else
    echo "ok   $1: $2"
  fi
}
expect_fault "a string missing" 'no string "AllowedOrigins_Explain"' en-US/Corvane.adml '/<string id="AllowedOrigins_Explain"/,/<\/string>/d'
expect_fault "a presentation missing" 'no presentation "AllowedOrigins"' en-US/Corvane.adml 's/presentation id="AllowedOrigins"/presentation id="Other"/'
expect_fault "a control for another element" 'shows no control for element "AllowedOriginsList"' en-US/Corvane.adml 's/refId="AllowedOriginsList"/refId="Origins"/'
expect_fault "an undefined category" 'category "Corvan" is not defined' Corvane.admx 's/parentCategory ref="Corvane"/parentCategory ref="Corvan"/'
expect_fault "malformed XML" 'Corvane.adml' en-US/Corvane.adml 's/<\/stringTable>//'
exit $failed
