# Checks over a stand-in host transcript ($transcript), and waits for the
# far end of the cable, sourced by the test scripts. Each call's lines in a
# transcript start with its label; tests/standin/standin_host.cpp lists the
# line kinds.

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The lines of one kind for one label, without the label and the kind.
lines_of() {
  local label=$1 kind=$2
  grep -F -- "$label $kind" "$transcript" | awk -v start="$label $kind" \
    'index($0, start) == 1 { print substr($0, length(start) + 2) }' || true
}

# The first result: "CLASS RxC: VALUES", "none", or "" after a host error.
result_of() {
  lines_of "$1" result | head -n 1
}

# The values of the first result (after "CLASS RxC: ").
values_of() {
  result_of "$1" | sed -n 's/^[a-z0-9]* [0-9]*x[0-9]*: //p'
}

# The call's wall time in whole milliseconds.
took_of() {
  lines_of "$1" took | sed -n 's/^\([0-9]*\)\..* ms$/\1/p'
}

expect_result() {
  local label=$1 expected=$2 actual
  actual=$(result_of "$label")
  [ "$actual" = "$expected" ] || fail "$label: result is '$actual', expected '$expected'"
}

# Everything the call printed, as the transcript quotes it, one argument a line.
expect_printed() {
  local label=$1 actual expected=""
  shift
  for line in "$@"; do expected+="\"$line\""$'\n'; done
  actual=$(lines_of "$label" printed)
  [ "$actual" = "${expected%$'\n'}" ] ||
    fail "$label printed: $(printf '%s' "$actual" | tr '\n' '|'), expected: $(printf '%s' "${expected%$'\n'}" | tr '\n' '|')"
}

# The call's wall time against a bound: expect_took LABEL -lt|-ge MS
expect_took() {
  [ "$(took_of "$1")" "$2" "$3" ] || fail "$1 took $(took_of "$1") ms, expected $2 $3 ms"
}

expect_host_error() {
  grep -qxF -- "$1 host error" "$transcript" || fail "$1: the host raised no error"
}

# Faults the stand-in host saw anywhere: API misuse, slots written past
# those asked for, arrays created and not returned.
expect_no_faults() {
  if grep -q '^@[^ ]* fault ' "$transcript"; then
    fail "the host saw faults: $(grep '^@[^ ]* fault ' "$transcript" | tr '\n' '|')"
  fi
  grep -qx 'end of script' "$transcript" || fail "the stand-in host stopped before the end"
}

finish() {
  if [ "$failures" -gt 0 ]; then
    echo "--- transcript ($transcript)"
    cat "$transcript"
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}

# Polls every 50 ms until COMMAND succeeds, for at most SECONDS:
#   wait_until SECONDS COMMAND...
wait_until() {
  local seconds=$1 waited=0
  shift
  until "$@"; do
    [ "$waited" -lt $((seconds * 20)) ] || return 1
    sleep 0.05
    waited=$((waited + 1))
  done
}

# Waits until FILE holds at least BYTES bytes, for at most SECONDS.
wait_for_size() { wait_until "$3" has_size "$1" "$2"; }
has_size() { [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge "$2" ]; }

# Waits until FILE has a line starting with TEXT, for at most SECONDS.
wait_for_line() { wait_until "$3" grep -q "^$2" "$1" 2>/dev/null; }

# Waits until process PID holds no pty master (its far end has hung up),
# for at most SECONDS.
wait_for_no_master() { wait_until "$2" holds_no_master "$1"; }
holds_no_master() { ! ls -l "/proc/$1/fd" 2>/dev/null | grep -q ptmx; }
