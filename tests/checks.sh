# Sourced by the test scripts that print one line a check:
# check DESCRIPTION COMMAND... prints "ok" or "FAIL" and counts it in
# passed and failed.
passed=0 failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok    $what"
    passed=$((passed + 1))
  else
    echo "FAIL  $what"
    failed=$((failed + 1))
  fi
}
