#!/usr/bin/env bash
# Manual pages: every page renders without a warning, every tool in tools/
# has its page, and every option a built tool's usage line names is
# described in its page.
#
#   man_test.sh SOURCE_DIR BUILD_DIR
#
# Exit status: 0 passed, 77 skipped (groff missing), else failed.
set -u

src=$1 build=$2
if ! command -v groff >/dev/null; then
  echo "man_test: groff not found; the manual pages are not checked" >&2
  exit 77
fi
status=0
fail() { echo "man_test: $*" >&2; status=1; }

pages=("$src"/docs/man/*.[1-9])
[ -f "${pages[0]}" ] || { echo "man_test: no pages in docs/man" >&2; exit 1; }
for page in "${pages[@]}"; do
  msgs=$(groff -man -ww -z "$page" 2>&1)
  [ -z "$msgs" ] || fail "$(basename "$page") renders with warnings:"$'\n'"$msgs"
  # A page whose width overflows shows up only when it is laid out.
  if command -v man >/dev/null; then
    msgs=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$msgs" ] || fail "$(basename "$page"): man --warnings:"$'\n'"$msgs"
  fi
done

for tool_src in "$src"/tools/orv-*.cc; do
  tool=$(basename "$tool_src" .cc)
  page=$src/docs/man/$tool.1
  [ -f "$page" ] || { fail "$tool has no manual page docs/man/$tool.1"; continue; }
  [ -x "$build/$tool" ] || continue
  # The usage line, printed for a call without arguments.
  usage=$("$build/$tool" 2>&1 >/dev/null | grep '^usage:')
  [ -n "$usage" ] || { fail "$tool prints no usage line"; continue; }
  for opt in $(echo "$usage" | grep -o '[[|]-[A-Za-z]' | sort -u); do
    letter=${opt#?-}
    grep -Eq "^\.BI? \\\\-$letter( |$)" "$page" ||
      fail "$tool.1 does not describe option -$letter (usage: $usage)"
  done
done
exit $status
