# Simulated robots for a test script, sourced after `work` (a private
# folder) and `sim` (velocart-sim) are set:
#   start_sim NAME [OPTIONS...]   starts velocart-sim with its link at
#       $work/NAME and its log at $work/NAME.log, and waits until it is ready
#   stop_sims                     ends them all (SIGTERM) and waits
#   show_sim_logs NAME...         prints what those simulators logged, for
#       a failure report
# The caller's EXIT trap should call stop_sims.
sim_pids=()

start_sim() {
  local name=$1
  shift
  "$sim" --link "$work/$name" --log "$work/$name.log" "$@" \
    >"$work/$name.out" 2>"$work/$name.err" &
  sim_pids+=($!)
  local _
  for _ in $(seq 100); do
    grep -q '^ready' "$work/$name.out" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "FAIL: velocart-sim $name did not start: $(cat "$work/$name.err")"
  exit 1
}

stop_sims() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  sim_pids=()
}

show_sim_logs() {
  local name
  for name in "$@"; do
    echo "--- velocart-sim $name log (last 20 lines):"
    tail -n 20 "$work/$name.log" 2>/dev/null || true
  done
}

# told NAME: what the robot logging to $work/NAME.log was last told: drive, "stop MS" (after
# driving: zero velocity, code 3 in byte 7 and 0 in bytes 9-12, or free wheels, code 0; MS after
# the last drive), or nothing yet.
told() {
  awk '$2 == "rx" && $9 ~ /^0[03]$/ {
         if ($9 == "03" && $11 $12 $13 $14 != "00000000") { t = "drive"; at = $1 }
         else if (t == "drive") { t = "stop"; gap = $1 - at }
       }
       END { if (t == "stop") printf "stop %d\n", 1000 * gap; else print t }' "$work/$1.log"
}
