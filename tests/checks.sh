# Sourced by the shell tests. `check NAME COMMAND...` runs one check and
# counts it; `finish` prints the tally and fails if any check did.
passed=0 failed=0
check() {
  local name=$1; shift
  if out=$("$@" 2>&1); then passed=$((passed + 1)); echo "ok: $name"
  else failed=$((failed + 1)); echo "FAILED: $name"; echo "$out"; fi
}
empty() { [ -z "$("$@" 2>&1)" ]; }
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
