#!/usr/bin/env bash
# Runs the libFuzzer targets.
#   run-fuzz.sh smoke FUZZER CORPUS_DIR SECONDS
#       a short run from the kept corpus; finds nothing new into the repo
#   run-fuzz.sh long BUILD_ASAN [SECONDS]
#       every target for SECONDS (default FUZZ_SECONDS or 60); inputs that
#       reach new code are kept in BUILD_ASAN/fuzz/new-corpus/<target>, to be
#       merged into the tracked fuzz/corpus/<target> by hand (the command is
#       printed); the run count is reported, as it depends on the machine
# A crashing input is kept as crash-* beside the fuzzer.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

max_len_for() {
  case "$(basename "$1")" in
    status_frame_fuzz) echo 1024 ;;
    frame_assembler_fuzz) echo 2048 ;;
    *) echo 1024 ;;
  esac
}

# run_one FUZZER CORPUS SECONDS NEW_DIR LOG: prints the number of runs.
run_one() {
  local fuzzer=$1 corpus=$2 seconds=$3 new=$4 log=$5
  mkdir -p "$corpus" "$new"
  if ! "$fuzzer" -max_total_time="$seconds" -max_len="$(max_len_for "$fuzzer")" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$(dirname "$fuzzer")/" \
      "$new" "$corpus" > "$log" 2>&1; then
    echo "FAIL: $(basename "$fuzzer") found a fault; last lines of its log:" >&2
    tail -n 40 "$log" >&2
    return 1
  fi
  grep -Eo '^Done [0-9]+ runs' "$log" | tail -n 1 | awk '{print $2}'
}

mode=${1:-}
case "$mode" in
  smoke)
    fuzzer=$2 corpus=$3 seconds=$4
    work=$(mktemp -d /tmp/velocart-fuzz-XXXXXX)
    trap 'rm -rf "$work"' EXIT
    runs=$(run_one "$fuzzer" "$corpus" "$seconds" "$work/new" "$work/log")
    echo "fuzz smoke $(basename "$fuzzer"): $runs runs in ${seconds}s, no findings"
    ;;
  long)
    build=$(cd "$2" && pwd)
    seconds=${3:-${FUZZ_SECONDS:-60}}
    work=$(mktemp -d /tmp/velocart-fuzz-XXXXXX)
    trap 'rm -rf "$work"' EXIT
    status=0
    for name in status_frame command_frame frame_assembler; do
      fuzzer=$build/fuzz/${name}_fuzz
      corpus=$here/corpus/$name
      if ! runs=$(run_one "$fuzzer" "$corpus" "$seconds" "$work/$name" "$work/$name.log"); then
        status=1
        continue
      fi
      kept=$build/fuzz/new-corpus/$name
      mkdir -p "$kept"
      before=$(find "$kept" -type f | wc -l)
      # The run wrote only inputs that reached code the corpus did not.
      "$fuzzer" -merge=1 -max_len="$(max_len_for "$fuzzer")" "$kept" "$work/$name" \
        > "$work/$name.merge.log" 2>&1
      after=$(find "$kept" -type f | wc -l)
      echo "fuzz $name: $runs runs in ${seconds}s ($((runs / seconds)) a second), no findings;" \
        "$((after - before)) new inputs in $kept"
    done
    echo "to keep new inputs: <target>_fuzz -merge=1 fuzz/corpus/<target> $build/fuzz/new-corpus/<target>"
    exit $status
    ;;
  *)
    echo "usage: run-fuzz.sh smoke FUZZER CORPUS SECONDS | long BUILD_ASAN [SECONDS]" >&2
    exit 2
    ;;
esac
