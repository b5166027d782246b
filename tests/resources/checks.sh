# Sourced by the check scripts: each check that fails is reported and counted, so that one run
# lists every failure; finish_checks then sets the exit status.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
finish_checks() {
  [ "$failures" = 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
}
