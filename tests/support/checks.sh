# shellcheck shell=bash
# Verdict helpers of the shell test suites: every check is counted, a failed
# one says what differed, and finish gives the suite's status.

checks=0
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# check WHAT COMMAND...: the command must succeed.
check() {
  local what=$1
  shift
  checks=$((checks + 1))
  "$@" || fail "$what"
}

# expect_eq WHAT ACTUAL EXPECTED: single lines are shown quoted, so that escape
# codes and blanks are visible; longer texts as a diff.
expect_eq() {
  checks=$((checks + 1))
  [ "$2" = "$3" ] && return 0
  fail "$1"
  if [[ "$2$3" == *$'\n'* ]]; then
    diff <(printf '%s\n' "$3") <(printf '%s\n' "$2") | sed 's/^/  /' || true
  else
    echo "  expected: $(printf '%q' "$3")"
    echo "  actual:   $(printf '%q' "$2")"
  fi
}

# finish: prints the tally; the status is the suite's verdict.
finish() {
  echo "$checks checks, $failures failed"
  [ "$failures" -eq 0 ]
}
