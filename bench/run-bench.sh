#!/usr/bin/env bash
# make bench: measures the core, the host call against its physical floor and
# the closed loop against the wire, in one run, and prints one table.
# Usage: run-bench.sh BUILD_DIR
#   BENCH_ROUNDS (default 7) and BENCH_CALLS (default 20000) size the Octave part.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
rounds=${BENCH_ROUNDS:-7}
calls=${BENCH_CALLS:-20000}

core_bench=$build/bench/core_bench
empty_mex_dir=$build/bench
driver_dir=$build/octave
peer=$build/tests/support/pty_peer
for f in "$core_bench" "$empty_mex_dir/EmptyMex.mex" "$empty_mex_dir/FloorMex.mex" "$driver_dir/VelocartDriver.mex" "$peer"; do
  [ -e "$f" ] || { echo "run-bench: $f is missing; run 'make native' first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/velocart-bench-XXXXXX)
peer_pids=()
cleanup() {
  local pid
  for pid in "${peer_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${peer_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A pty peer per writer; each drains its line. Its stdin stays open through
# a fifo until the cleanup ends it.
start_peer() {
  local name=$1
  mkfifo "$work/$name.ctl"
  "$peer" --link "$work/$name" < "$work/$name.ctl" > "$work/$name.log" 2>&1 &
  peer_pids+=($!)
  exec {fd}> "$work/$name.ctl"
  for _ in $(seq 100); do
    grep -q '^ready' "$work/$name.log" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "run-bench: pty peer $name did not start" >&2
  exit 1
}
start_peer driver
start_peer floor
start_peer mcode

echo "run-bench: core (Google Benchmark)..." >&2
"$core_bench" --benchmark_min_time=0.5 --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=csv \
  > "$work/core.csv" 2> /dev/null

echo "run-bench: host calls in octave-cli ($rounds rounds of $calls calls)..." >&2
(cd "$work" && octave-cli --no-gui --norc --quiet --no-window-system --eval \
  "addpath('$driver_dir'); addpath('$empty_mex_dir'); addpath('$here');
   host_bench('$work/driver', '$work/floor', '$work/mcode', '$work/host.txt', $rounds, $calls);" \
  > "$work/octave.log" 2>&1) || { cat "$work/octave.log" >&2; exit 1; }

cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
octave_version=$(octave-cli --no-gui --norc --quiet --eval 'disp(version)' 2>/dev/null)

# Google Benchmark CSV: name,iterations,real_time,cpu_time,time_unit,...
# The median of the repetitions is the figure.
awk -F, -v host="$work/host.txt" -v cpu="$cpu" -v octv="$octave_version" \
    -v rounds="$rounds" '
function core(name) { return ns[name "_median"] }
function verdict(ok) { return ok ? "met" : "NOT met" }
function corerow(label, t) { printf "  %-44s %9.1f ns   target < 50 ns: %s\n", label, t, verdict(t < 50) }
BEGIN {
  while ((getline line < host) > 0) { split(line, kv, " "); us[kv[1]] = kv[2] }
}
NR > 1 && $1 ~ /^"BM_/ { gsub(/"/, "", $1); ns[$1] = $3 }
END {
  wire_us = 26 * 10 / 115200 * 1e6
  send = us["send"]; read = us["read"]; latest = us["read_latest"]
  fs = us["floor_send"]; fr = us["floor_read"]; m = us["mcode_send"]
  printf "\nVelocartDriver benchmark: %s, Octave %s\n", cpu, octv
  rule = "----------------------------------------------------------------------------------------"
  print rule
  printf "%-46s %12s   %s\n", "measurement", "per call", "ratio and target"
  print rule
  print "core, Google Benchmark (median of 3 repetitions)"
  printf "  %-44s %9.1f ns\n", "frameCrc16 over 23 bytes", core("BM_FrameCrc16_23Bytes")
  corerow("encodeVelocity", core("BM_EncodeVelocity"))
  corerow("encodeOdometry", core("BM_EncodeOdometry"))
  corerow("encodeFreeWheels", core("BM_EncodeFreeWheels"))
  corerow("checkStatusFrame + decodeStatus, valid frame", core("BM_CheckAndDecodeStatus"))
  print "serial calls on a pty, Google Benchmark (for context)"
  printf "  %-44s %9.3f us\n", "writeFrame, 26 bytes, far end drained", core("BM_WriteFrameToPty/real_time") / 1000
  printf "  %-44s %9.3f us\n", "readAvailable, nothing waiting", core("BM_ReadAvailableNothingWaiting/real_time") / 1000
  print "host call in octave-cli (median of " rounds " rounds)"
  printf "  %-44s %9.3f us\n", "loop of x = [a b] alone (for reference)", us["loop"]
  printf "  %-44s %9.3f us   (any call, for reference)\n", "EmptyMex(\"sendVelocity\", [a b])", us["empty_send"]
  printf "  %-44s %9.3f us   floor\n", "FloorMex: host part + drain check + write", fs
  printf "  %-44s %9.3f us   %.2fx floor, target <= 1.2x: %s\n", "VelocartDriver(\"sendVelocity\", [a b]), open", send, send / fs, verdict(send / fs <= 1.2)
  printf "  %-44s %9.3f us   (any call, for reference)\n", "EmptyMex(\"read\")", us["empty_read"]
  printf "  %-44s %9.3f us   floor\n", "FloorMex: host part + one read", fr
  printf "  %-44s %9.3f us   %.2fx floor, target <= 1.2x: %s\n", "s = VelocartDriver(\"read\"), open", read, read / fr, verdict(read / fr <= 1.2)
  printf "  %-44s %9.3f us   %.2fx floor, target <= 1.2x: %s\n", "s = VelocartDriver(\"readLatest\"), nothing new", latest, latest / fr, verdict(latest / fr <= 1.2)
  printf "  %-44s %9s      %.2fx read, target <= 1.2x: %s\n", "", "", latest / read, verdict(latest / read <= 1.2)
  print "what a user would write instead"
  printf "  %-44s %9.3f us   %.0fx the driver, target >= 50x: %s\n", "m-code frame + CRC, serialport write", m, m / send, verdict(m / send >= 50)
  printf "share of the wire (26 bytes at 115200 baud = %.0f us)\n", wire_us
  printf "  %-44s %9.3f %%    target < 1%%: %s\n", "sendVelocity", 100 * send / wire_us, verdict(100 * send / wire_us < 1)
  printf "  %-44s %9.3f %%\n", "read", 100 * read / wire_us
  printf "  %-44s %9.3f %%\n", "m-code + serialport", 100 * m / wire_us
  print rule
  printf "host figures: %d calls per round (%d for the m-code way), every frame written to a pty peer\n", us["calls"], us["mcode_calls"]
}' "$work/core.csv"
