#!/usr/bin/env bash
# make bench: measures the core, the host call against its physical floor and
# the closed loop against the wire, in one run, and prints one table.
# Usage: run-bench.sh BUILD_DIR
#   BENCH_ROUNDS (default 7) and BENCH_CALLS (default 20000) size the host
#   call part, BENCH_LOOP_ROUNDS (default 300) the closed loop, the fleet and
#   the request/response stamps, BENCH_STAMP_SECONDS (default 3, at most 7)
#   the streamed stamps, BENCH_SOAK_SECONDS (default 600; 3600 for an hour)
#   the log of a robot streaming at the line's rate while the program sits
#   in 10 s pauses, BENCH_PORTS_ROUNDS (default 50) the port table. The
#   probe is timed on this machine's free ports: each that stays silent gets
#   one zero-velocity frame.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
rounds=${BENCH_ROUNDS:-7}
calls=${BENCH_CALLS:-20000}
loop_rounds=${BENCH_LOOP_ROUNDS:-300}
stamp_seconds=${BENCH_STAMP_SECONDS:-3}
soak_seconds=${BENCH_SOAK_SECONDS:-600}
ports_rounds=${BENCH_PORTS_ROUNDS:-50}

core_bench=$build/bench/core_bench
empty_mex_dir=$build/bench
driver_dir=$build/octave
peer=$build/tests/support/pty_peer
sim=$build/sim/velocart-sim
for f in "$core_bench" "$empty_mex_dir/EmptyMex.mex" "$empty_mex_dir/FloorMex.mex" \
    "$empty_mex_dir/ClockMex.mex" "$driver_dir/VelocartDriver.mex" "$peer" "$sim"; do
  [ -e "$f" ] || { echo "run-bench: $f is missing; run 'make native' first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/velocart-bench-XXXXXX)
source "$here/../tests/support/simulators.sh"
peer_pids=()
cleanup() {
  local pid
  stop_sims
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

in_octave() {
  (cd "$work" && octave-cli --no-gui --norc --quiet --no-window-system --eval \
    "addpath('$driver_dir'); addpath('$empty_mex_dir'); addpath('$here');
     addpath('$here/../tests/gateway'); $1" \
    >> "$work/octave.log" 2>&1) || { cat "$work/octave.log" >&2; exit 1; }
}

echo "run-bench: core (Google Benchmark)..." >&2
"$core_bench" --benchmark_min_time=0.5 --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=csv \
  > "$work/core.csv" 2> /dev/null

echo "run-bench: host calls in octave-cli ($rounds rounds of $calls calls)..." >&2
in_octave "host_bench('$work/driver', '$work/floor', '$work/mcode', '$work/host.txt', $rounds, $calls);"

echo "run-bench: closed loop against the paced simulator ($loop_rounds rounds each)..." >&2
start_sim bytes --wire --chunk-ms 0
start_sim chunks --wire --chunk-ms 1
start_sim old --wire --chunk-ms 1
in_octave "loop_bench('$work/bytes', $loop_rounds, 'latest', '$work/host.txt', 'loop_bytes');
           loop_bench('$work/bytes', $loop_rounds, 'background', '$work/host.txt', 'loop_bytes_bg');
           loop_bench('$work/chunks', $loop_rounds, 'latest', '$work/host.txt', 'loop_chunks');
           loop_bench('$work/old', $loop_rounds, 'pause', '$work/host.txt', 'loop_old');"

echo "run-bench: a 100 Hz stream on the paced wire, clean and with faults..." >&2
start_sim clean --wire --stream 100
start_sim faulty --wire --stream 100 --fault-crc 7 --fault-garbage 5
in_octave "stream_bench('$work/clean', '$work/clean.log', '$work/host.txt', 'clean_');
           stream_bench('$work/faulty', '$work/faulty.log', '$work/host.txt', 'faulty_');"

# Each part from here on has only its own simulators running.
echo "run-bench: several robots from one session, 1, 4 and 8 links ($loop_rounds rounds each)..." >&2
stop_sims
for i in 1 2 3 4 5 6 7 8; do start_sim "fleet$i" --wire --chunk-ms 1; done
in_octave "ports = arrayfun(@(i) sprintf('$work/fleet%d', i), 1:8, 'UniformOutput', false);
           for n = [1 4 8]
             fleet_bench(ports(1:n), $loop_rounds, '$work/host.txt', sprintf('fleet_%d', n));
           end"

echo "run-bench: stamps against the simulator's log..." >&2
stop_sims
start_sim stamp_reply --wire --chunk-ms 1
start_sim stamp_stream --wire --chunk-ms 1 --stream 100 --fault-crc 7 --fault-garbage 5
in_octave "stamp_bench('$work/stamp_reply', '$work/stamp_reply.log', '$work/host.txt', ...
                       'stamp_reply', 'reply', $loop_rounds);
           stamp_bench('$work/stamp_stream', '$work/stamp_stream.log', '$work/host.txt', ...
                       'stamp_stream', 'stream', $stamp_seconds);"

echo "run-bench: stamps of a program that reads twice a second, without and with background reading..." >&2
stop_sims
start_sim stamp_sparse --wire --chunk-ms 1 --stream 380
in_octave "stamp_bench('$work/stamp_sparse', '$work/stamp_sparse.log', '$work/host.txt', ...
                       'stamp_sparse', 'sparse', $stamp_seconds);
           stamp_bench('$work/stamp_sparse', '$work/stamp_sparse.log', '$work/host.txt', ...
                       'stamp_sparse_bg', 'sparse_background', $stamp_seconds);"

echo "run-bench: a log of a robot streaming at the line's rate for ${soak_seconds} s, the program in 10 s pauses..." >&2
stop_sims
start_sim soak --wire --stream 380 --stats "$work/soak.stats"
in_octave "soak_bench('$work/soak', '$work/soak.csv', '$work/host.txt', $soak_seconds);"
stop_sims
# The frames the simulator handed over (its tx bytes: back-to-back frames,
# no faults), from the first one logged to the last, against the log's
# status lines, by their clock field (element 7, 1/4096 s steps).
awk -F, 'NR > 1 && $2 == 0 { printf "%d\n", $9 * 4096 + ($9 < 0 ? -0.5 : 0.5) }' "$work/soak.csv" \
  >"$work/soak.logged"
awk 'function hex(text,   i, v) {
       for (i = 1; i <= length(text); ++i) v = 16 * v + index("0123456789ABCDEF", substr(text, i, 1)) - 1
       return v
     }
     $2 == "tx" { for (i = 3; i <= NF; ++i) bytes[n++] = $i }
     END {
       for (at = 0; at + 30 <= n; ) {
         if (bytes[at] != "AA" || bytes[at + 1] != "1A" || bytes[at + 2] != "00") { ++at; continue }
         v = hex(bytes[at + 27] bytes[at + 26]); if (v >= 32768) v -= 65536
         print v; at += 30
       }
     }' "$work/soak.log" >"$work/soak.sent"
logged=$(wc -l <"$work/soak.logged")
start=$(grep -nx -- "$(head -n 1 "$work/soak.logged")" "$work/soak.sent" | head -n 1 | cut -d: -f1)
tail -n +"${start:-1}" "$work/soak.sent" | head -n "$logged" >"$work/soak.due"
{
  echo "soak_logged $logged"
  echo "soak_due $(wc -l <"$work/soak.due")"
  echo "soak_same $(cmp -s "$work/soak.due" "$work/soak.logged" && echo 1 || echo 0)"
  echo "soak_overflowed $(sed -n 's/^bytes_overflowed //p' "$work/soak.stats")"
} >>"$work/host.txt"
echo "run-bench: the port table and the probe on this machine's ports..." >&2
in_octave "ports_bench($ports_rounds, '$work/host.txt');"

cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
octave_version=$(octave-cli --no-gui --norc --quiet --eval 'disp(version)' 2>/dev/null)

# Google Benchmark CSV: name,iterations,real_time,cpu_time,time_unit,...
# The median of the repetitions is the figure.
awk -F, -v host="$work/host.txt" -v cpu="$cpu" -v octv="$octave_version" \
    -v rounds="$rounds" '
function core(name) { return ns[name "_median"] }
function verdict(ok) { return ok ? "met" : "NOT met" }
function corerow(label, t) { printf "  %-44s %9.1f ns   target < 50 ns: %s\n", label, t, verdict(t < 50) }
function looprow(label, key, wire, limit, target,   m, line) {
  m = us[key "_median"]
  line = sprintf("  %-44s %9.0f us   %.2fx wire, p90 %.0f us, %d/%d replies to their command", label, m, m / wire, us[key "_p90"], us[key "_matched"], us[key "_rounds"])
  if (target != "") line = line sprintf("; target %s: %s", target, verdict(m <= limit && us[key "_matched"] == us[key "_rounds"]))
  print line
}
function fleetrow(label, way, n, target,   key, m, base, line) {
  key = "fleet_" n "_" way
  m = us[key "_median"]; base = us["fleet_1_" way "_median"]
  line = sprintf("  %-44s %9.0f us   %.2fx N = 1, p90 %.0f us, %d/%d replies carry the command to their robot", label ", N = " n, m, m / base, us[key "_p90"], us[key "_matched"], us[key "_replies"])
  if (target) line = line sprintf("; target <= 1.15x N = 1, every reply its own: %s", verdict(m <= 1.15 * base && us[key "_matched"] == us[key "_replies"]))
  print line
}
function stamprow(label, key, extra) {
  printf "  %-44s %9.0f us   p95 %.0f us, min %.0f, max %.0f, over %d frames%s\n", label, us[key "_err_med"], us[key "_err_p95"], us[key "_err_min"], us[key "_err_max"], us[key "_frames"], extra
}
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
  sbg = us["send_background"]
  printf "  %-44s %9.3f us   %.2fx floor, target <= 1.2x: %s\n", "  the same, with background reading", sbg, sbg / fs, verdict(sbg / fs <= 1.2)
  printf "  %-44s %9.3f us   (any call, for reference)\n", "EmptyMex(\"read\")", us["empty_read"]
  printf "  %-44s %9.3f us   floor\n", "FloorMex: host part + one read", fr
  printf "  %-44s %9.3f us   %.2fx floor, target <= 1.2x: %s\n", "s = VelocartDriver(\"read\"), open", read, read / fr, verdict(read / fr <= 1.2)
  printf "  %-44s %9.3f us   %.2fx floor, target <= 1.2x: %s\n", "s = VelocartDriver(\"readLatest\"), nothing new", latest, latest / fr, verdict(latest / fr <= 1.2)
  printf "  %-44s %9s      %.2fx read, target <= 1.2x: %s\n", "", "", latest / read, verdict(latest / read <= 1.2)
  loop_wire = (26 + 30) * 10 / 115200 * 1e6
  printf "closed loop on the paced wire: sendVelocity, then its reply (%d rounds; wire time of 26 + 30 bytes = %.0f us)\n", us["loop_bytes_rounds"], loop_wire
  looprow("readLatest(0.1), bytes as they cross", "loop_bytes", loop_wire, 1.10 * loop_wire, "<= 1.10x wire")
  looprow("readLatest(0.1), 1 ms chunks", "loop_chunks", loop_wire, loop_wire + 1300, "<= wire + 1.3 ms")
  looprow("pause(0.01) + read, 1 ms chunks (before)", "loop_old", loop_wire, 0, "")
  looprow("readLatest(0.1), bytes, background reading", "loop_bytes_bg", loop_wire, 1.05 * us["loop_bytes_median"], "<= 1.05x without it")
  print "a 100 Hz stream on the paced wire (1 ms chunks): fresh = a newer good frame when one was due;"
  print "age = ms since the decoded frame was handed over; with faults every 7th checksum is broken and"
  print "garbage precedes every 5th frame"
  printf "  %-22s %8s %9s %9s %9s %14s\n", "way, read every", "fresh", "age med", "age max", "(faults)", "broken taken"
  split("read readLatest", ways, " ")
  split("5 10 20 50", every, " ")
  for (w = 1; w <= 2; ++w) for (i = 1; i <= 4; ++i) {
    k = ways[w] "_" every[i]
    printf "  %-22s %7.1f%% %6.2f ms %6.2f ms %8.1f%% %14d\n", ways[w] ", " every[i] " ms", us["clean_" k "_fresh"], us["clean_" k "_age_med"], us["clean_" k "_age_max"], us["faulty_" k "_fresh"], us["faulty_" k "_corrupt"]
  }
  latest_fresh = 1; latest_age = 1; broken = 0
  for (i = 1; i <= 4; ++i) {
    k = "readLatest_" every[i]
    latest_fresh = latest_fresh && us["clean_" k "_fresh"] == 100
    latest_age = latest_age && us["clean_" k "_age_max"] <= 11
    broken += us["faulty_" k "_corrupt"] + us["faulty_read_" every[i] "_corrupt"]
  }
  printf "  readLatest: 100%% fresh: %s; age at most one period + the chunk (11 ms): %s; no broken frame taken: %s\n", verdict(latest_fresh), verdict(latest_age), verdict(broken == 0)
  printf "several robots from one session: each round gives every robot a velocity of its own, then takes every reply\n"
  printf "(%d rounds; one paced simulator per link, 1 ms chunks; median round, against the same way with N = 1)\n", us["fleet_1_rounds"]
  fleetrow("one call for all the links (ks)", "together", 1, 0)
  fleetrow("one call for all the links (ks)", "together", 4, 0)
  fleetrow("one call for all the links (ks)", "together", 8, 1)
  fleetrow("loop over the links in m-code", "each", 1, 0)
  fleetrow("loop over the links in m-code", "each", 4, 0)
  fleetrow("loop over the links in m-code", "each", 8, 0)
  print "stamps against the log of the simulator: stamp minus the hand-over of the last byte of the frame, on CLOCK_MONOTONIC"
  bound = us["stamp_reply_open_bound"] > us["stamp_stream_open_bound"] ? us["stamp_reply_open_bound"] : us["stamp_stream_open_bound"]
  printf "(the open time on it is late by at most %.0f us, a whole call; ClockMex read right after open was %.0f and %.0f us late)\n", bound, us["stamp_reply_open_reading_late"], us["stamp_stream_open_reading_late"]
  r = "stamp_reply"
  stamprow("sendVelocity + [s, t] = readLatest(0.1)", r, sprintf(" of %d rounds", us[r "_rounds"]))
  printf "  %-44s %9s      target median <= 0.5 ms, p95 <= 2 ms: %s\n", "", "", verdict(us[r "_err_med"] <= 500 && us[r "_err_p95"] <= 2000 && us[r "_frames"] > 0)
  f = "stamp_stream"
  stamprow("100 Hz stream, [S, T] = readAll(0.05), faults", f, "")
  printf "  %-44s %9s      every good frame once, in order: %d of %d, %d missed, %d extra: %s\n", "", "", us[f "_frames"], us[f "_expected"], us[f "_missed"], us[f "_extra"], verdict(us[f "_in_order"] && us[f "_expected"] > 0)
  printf "  %-44s %9s      broken frames taken: %d of %d sent: %s; stamps strictly increasing: %s\n", "", "", us[f "_broken_taken"], us[f "_broken_sent"], verdict(us[f "_broken_taken"] == 0 && us[f "_broken_sent"] > 0), verdict(us[f "_increasing"])
  printf "  %-44s %9s      target median <= 1 ms: %s\n", "", "", verdict(us[f "_err_med"] <= 1000 && us[f "_frames"] > 0)
  print "a program that reads twice a second (readAll, pause(0.5)); a 380 Hz stream, 1 ms chunks"
  for (i = 1; i <= 2; ++i) {
    f = i == 1 ? "stamp_sparse" : "stamp_sparse_bg"
    stamprow(i == 1 ? "read by the calls" : "background reading", f, sprintf(", p99 %.0f us", us[f "_err_p99"]))
    if (i == 2) printf "  %-44s %9s      target median <= 0.2 ms, p99 <= 1 ms: %s; every frame once, in order: %s\n", "", "", verdict(us[f "_err_med"] <= 200 && us[f "_err_p99"] <= 1000 && us[f "_frames"] > 0), verdict(us[f "_in_order"])
  }
  printf "a log of a robot streaming at the full rate of the line (380 Hz), the program in 10 s pauses, %.0f s\n", us["soak_seconds"]
  printf "  %-44s %9d      of the %d the simulator handed over from the first of them on, the same, in order: %s; bytes the\n", "status frames in the log", us["soak_logged"], us["soak_due"], verdict(us["soak_same"] == 1 && us["soak_logged"] > 0)
  printf "  %-44s %9s      simulator could not hand over (a full buffer): %d: %s\n", "", "", us["soak_overflowed"], verdict(us["soak_overflowed"] == 0)
  printf "  %-44s %9.2f %%    of one core, target <= 2%%: %s\n", "the thread of the module", us["soak_cpu"], verdict(us["soak_cpu"] <= 2)
  printf "finding the robot: the %d serial ports of this machine (%d free to probe)\n", us["ports_count"], us["probe_checked"]
  printf "  %-44s %9.0f us   median of %d calls; nothing is opened\n", "P = VelocartDriver(\"ports\")", us["ports_median"], us["ports_rounds"]
  if (us["probe_checked"] > 0) printf "  %-44s %9.0f us   target <= 150 ms: %s\n", "VelocartDriver(\"ports\", \"probe\"), per port", us["probe_per_port"], verdict(us["probe_per_port"] <= 150000)
  else printf "  %-44s %9s      no free port here (the kernel tier times it on an 8250 and FTDI adapters)\n", "VelocartDriver(\"ports\", \"probe\"), per port", "-"
  print "what a user would write instead"
  printf "  %-44s %9.3f us   %.0fx the driver, target >= 50x: %s\n", "m-code frame + CRC, serialport write", m, m / send, verdict(m / send >= 50)
  printf "share of the wire (26 bytes at 115200 baud = %.0f us)\n", wire_us
  printf "  %-44s %9.3f %%    target < 1%%: %s\n", "sendVelocity", 100 * send / wire_us, verdict(100 * send / wire_us < 1)
  printf "  %-44s %9.3f %%\n", "read", 100 * read / wire_us
  printf "  %-44s %9.3f %%\n", "m-code + serialport", 100 * m / wire_us
  print rule
  printf "host figures: %d calls per round (%d for the m-code way), every frame written to a pty peer\n", us["calls"], us["mcode_calls"]
}' "$work/core.csv"
