#!/usr/bin/env bash
# Drives velocart-sim through the built MEX in octave-cli: one simulator per
# scenario of sim_e2e.m, all in a private temporary folder.
#   run_sim_e2e.sh MEX_FILE SIM_EXECUTABLE
set -euo pipefail
mex=$1
sim=$2
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-sim-e2e-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

declare -A args=(
  [clean]=""
  [crc]="--fault-crc 3"
  [garbage]="--fault-garbage 2"
  [split]="--fault-split 60"
  [silent]="--fault-silent-after 3"
  [silentbad]="--fault-crc 3 --fault-silent-after 3"
  [hangup]="--fault-hangup-after 3"
  [stream]="--stream 100"
  [wire]="--wire --fault-garbage 3"
  [paced]="--wire --stream 100 --fault-crc 4 --fault-garbage 3"
)
names=("${!args[@]}")
# What a killed simulator leaves behind: a link to a pty that is gone, or to
# one whose number has since gone to another program (here this script).
ln -s /dev/pts/velocart-gone "$work/stream.link"
exec 3<>/dev/ptmx
ln -s "/dev/pts/$(sed -n 's/^tty-index:\t//p' "/proc/$BASHPID/fdinfo/3")" "$work/clean.link"
for name in "${names[@]}"; do
  # shellcheck disable=SC2086
  "$sim" --link "$work/$name.link" --stats "$work/$name.stats" --log "$work/$name.log" \
    ${args[$name]} > "$work/$name.out" 2> "$work/$name.err" 3<&- &
  pids+=($!)
done
for name in "${names[@]}"; do
  for _ in $(seq 100); do
    grep -q "^ready $work/$name.link\$" "$work/$name.out" 2>/dev/null && break
    sleep 0.05
  done
  grep -q "^ready" "$work/$name.out" || { echo "velocart-sim ($name) did not start"; cat "$work/$name.err"; exit 1; }
done
exec 3<&-

# A second simulator is refused a live link and leaves it alone.
live=$(readlink "$work/clean.link")
code=0
timeout 5 "$sim" --link "$work/clean.link" > /dev/null 2> "$work/second.err" || code=$?
if [ "$code" -ne 1 ] || [ "$(readlink "$work/clean.link")" != "$live" ]; then
  echo "a second velocart-sim on a live link exited with $code: $(cat "$work/second.err")"
  exit 1
fi

status=0
VELOCART_E2E_DIR=$work timeout 120 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$(dirname "$mex")'); addpath('$here'); addpath('$here/../gateway'); addpath('$here/../../bench'); sim_e2e" \
  || status=$?

# Every simulator ends on SIGTERM with status 0 and takes its link along.
for i in "${!names[@]}"; do
  kill -TERM "${pids[$i]}" 2>/dev/null || true
  code=0
  wait "${pids[$i]}" || code=$?
  name=${names[$i]}
  if [ "$code" -ne 0 ]; then
    echo "velocart-sim ($name) exited with $code"; cat "$work/$name.err"; status=1
  fi
  if [ -L "$work/$name.link" ]; then
    echo "velocart-sim ($name) left its link behind"; status=1
  fi
done
pids=()

# Two parts alone, each with a robot that streams at the line's rate, which
# would load the others: a log, and a log on a disk that fills (a 16 KiB
# limit on file sizes, its signal ignored, so that writes fail).
for part in logged full; do
  "$sim" --link "$work/$part.link" --log "$work/$part.log" --wire --stream 380 >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -L "$work/$part.link" ] && break; sleep 0.05; done
  (if [ $part = full ]; then ulimit -f 16; trap '' XFSZ; fi
   VELOCART_E2E_DIR=$work timeout 60 octave-cli --no-gui --norc --quiet --no-window-system \
     --no-history --eval "addpath('$(dirname "$mex")'); addpath('$here'); addpath('$here/../gateway'); addpath('$here/../../bench');
                          part = '$part'; sim_e2e") || status=$?
done

# A driver that never reads (here sleep), once its receive buffer is full,
# does not slow the wire, which carries 384 frames a second: what has no
# room is lost and counted. Alone, so as not to load the scenarios above.
"$sim" --link "$work/deaf.link" --stats "$work/deaf.stats" --wire --stream 1000 > /dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -L "$work/deaf.link" ] && break; sleep 0.05; done
sleep 60 < "$work/deaf.link" > /dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -qs '^bytes_overflowed [1-9]' "$work/deaf.stats" && break; sleep 0.1; done
produced() { sed -n 's/^status_produced //p' "$work/deaf.stats"; }
before=$(produced)
sleep 1
frames=$(($(produced) - ${before:-0}))
if [ "$frames" -lt 150 ] || ! grep -q '^bytes_overflowed [1-9]' "$work/deaf.stats"; then
  echo "a driver that never reads: $frames frames in 1 s"; cat "$work/deaf.stats"; status=1
fi

# Every velocart-sim command with options that the README shows works as
# written, its link put here: it prints its usage or gets ready.
while read -r shown; do
  out=$work/readme.${#pids[@]}.out
  # shellcheck disable=SC2086
  "$sim" $(sed "s|--link [^ ]*|--link $work/readme.link|" <<<"${shown#velocart-sim}") >"$out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -qs '^ready\|^usage' "$out" && break; sleep 0.05; done
  grep -qs '^ready\|^usage' "$out" || { echo "the README's '$shown': $(cat "$out")"; status=1; }
  kill "${pids[-1]}" 2>/dev/null && wait "${pids[-1]}" 2>/dev/null || true
done < <(grep -ohE "velocart-sim( --?[a-z-]+( [^- \`'>][^ \`'>]*)?)+" "$here/../../README.md" | sort -u)

if [ "$status" -ne 0 ]; then
  echo "--- log of the clean run (last lines) ---"
  tail -n 20 "$work/clean.log" 2>/dev/null || true
fi
grep -h "velocart-sim: stopped" "$work/clean.err" || true
exit "$status"
