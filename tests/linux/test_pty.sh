#!/usr/bin/env bash
# The Linux MATLAB module, loaded by the stand-in host, drives a pty whose
# far end is held by a test program:
#   test_pty.sh peer STANDIN_HOST MODULE PTY_PEER COM7_CALLS
#       the test's pty peer: records every byte and sends two status frames
#   test_pty.sh sim STANDIN_HOST MODULE VELOCART_SIM COM7_CALLS
#       the simulated robot: answers every command frame
# COM7_CALLS is the script the Windows module runs under Wine. It runs here
# in a folder where COM7 (and com7) are links to the pty, so its port names
# stay as they are; the lines that name what only Windows has are rewritten:
#   open 7, open 8       open COM7, open COM8 (Linux numbers are /dev/ttyS*)
#   open NUL             open /dev/null (a device, but no terminal)
#   open \\.\COM7        open the pty by its own path (/dev/pts/N)
set -euo pipefail
mode=$1
host=$(readlink -f "$2")
module=$(readlink -f "$3")
far_end=$(readlink -f "$4")
windows_calls=$(readlink -f "$5")
windows_tests=$(cd "$(dirname "$0")/../windows" && pwd)
source "$windows_tests/wine_env.sh" # wait_for_size and wait_for_line
source "$windows_tests/transcript.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-linux-XXXXXX")
transcript=$work/transcript.txt
cable=$work/COM7
far_pid=""
helper_pid=""
cleanup() {
  [ -z "$helper_pid" ] || kill "$helper_pid" 2>/dev/null || true
  exec 3>&- 2>/dev/null || true
  if [ -n "$far_pid" ] && kill -0 "$far_pid" 2>/dev/null; then
    kill -TERM "$far_pid" 2>/dev/null || true
    timeout 5 tail --pid="$far_pid" -f /dev/null || kill -KILL "$far_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The worked frames: sendVelocity [1 -0.5] right after load, and the status
# frame that decodes to 1, 1.0, 2.0, 0.5, 1.0, -0.5, -1.0, 0.5.
worked_velocity="AA 16 00 03 00 01 03 00 80 FF 00 01 00 00 00 00 00 00 00 00 00 00 00 00 63 11"
worked_status="AA 1A 00 00 00 00 00 00 80 FF 00 01 00 00 80 3F 00 00 00 40 00 00 00 3F 00 08 00 F0 9D 7A"

# CRC-16/CMS, bit by bit from its catalogue parameters, as the big-endian
# checksum bytes: crc16_cms HEX...
crc16_cms() {
  local crc=$((0xFFFF)) byte bit
  for byte in "$@"; do
    crc=$((crc ^ (0x$byte << 8)))
    for bit in 1 2 3 4 5 6 7 8; do
      if ((crc & 0x8000)); then
        crc=$((((crc << 1) ^ 0x8005) & 0xFFFF))
      else
        crc=$(((crc << 1) & 0xFFFF))
      fi
    done
  done
  printf '%02X %02X' $((crc >> 8)) $((crc & 0xFF))
}
[ "$(crc16_cms 31 32 33 34 35 36 37 38 39)" = "AE E7" ] || { echo "FAIL: the test's CRC is wrong"; exit 1; }
# A status frame of 0x11 (XON), 0x13 (XOFF) and 0x00 bytes.
flow_body="1A 00 11 13 00 11 13 11 13 13 11 00 00 00 00 00 00 00 00 00 00 00 00 13 00 11 00"
flow_status="AA $flow_body $(crc16_cms $flow_body)"
flow_vector="1 0 0 0 17.07421875 19.06640625 0.004150390625 0.004638671875"

mkfifo "$work/far-end.in"
case $mode in
  peer) "$far_end" --link "$cable" --record "$work/received.bin" \
          <"$work/far-end.in" >"$work/far-end.out" 2>"$work/far-end.err" & ;;
  sim) "$far_end" --link "$cable" --log "$work/sim.log" --stats "$work/sim.stats" \
         <"$work/far-end.in" >"$work/far-end.out" 2>"$work/far-end.err" & ;;
  *) echo "FAIL: unknown far end '$mode'"; exit 1 ;;
esac
far_pid=$!
exec 3>"$work/far-end.in"
wait_for_line "$work/far-end.out" "ready $cable" 10 ||
  { echo "FAIL: $(basename "$far_end") did not get ready: $(cat "$work/far-end.err")"; exit 1; }
pty=$(readlink -f "$cable")
ln -s COM7 "$work/com7"

calls=$work/linux.calls
sed -E -e 's/ open ([78])$/ open COM\1/' -e 's|open NUL$|open /dev/null|' \
  -e "s|open char: \\\\\\\\\\.\\\\COM7$|open char: $pty|" "$windows_calls" >"$calls"

if [ "$mode" = peer ]; then
  # A status frame once the first command has arrived, another after the
  # fourth, each while the script waits before reading it.
  (wait_for_size "$work/received.bin" 26 60 && echo "send $worked_status" >&3 &&
    wait_for_size "$work/received.bin" 104 60 && echo "send $flow_status" >&3) &
  helper_pid=$!
fi

status=0
(cd "$work" && timeout -k 5 120 "$host" "$module" "$calls" </dev/null >"$transcript" 2>"$work/host.err") ||
  status=$?
[ "$status" -eq 0 ] || fail "the stand-in host exited with $status: $(tail -n 5 "$work/host.err" | tr '\n' '|')"
expect_no_faults

opened='Port COM7 is opened successfully.\n'

if [ "$mode" = peer ]; then
  # open: a missing device, a device that is no terminal, the link by name
  # and by other names of the same device, another port while COM7 is open
  expect_printed @no-port 'I cannot open COM8!\n' 'VelocartDriver: No such file or directory.\n'
  expect_result @no-port "int8 1x1: -1"
  expect_printed @not-serial 'I cannot open /dev/null!\n' \
    'VelocartDriver: refused; it is not a serial port.\n'
  expect_result @not-serial "int8 1x1: -1"
  for label in @open @open-again @open-text @open-string; do
    expect_printed $label "$opened"
    expect_result $label "int8 1x1: 0"
  done
  expect_printed @open-lower 'Port com7 is opened successfully.\n'
  expect_result @open-lower "int8 1x1: 0"
  expect_printed @open-path "Port $pty is opened successfully.\\n"
  expect_result @open-path "int8 1x1: 0"
  already_open="VelocartDriver: COM7 is already open; call VelocartDriver('close') first.\n"
  expect_printed @other-port 'I cannot open COM8!\n' "$already_open"
  expect_printed @open-accent 'I cannot open COM\xC3\x9C!\n' "$already_open"
  expect_result @other-port "int8 1x1: -1"
  expect_result @open-accent "int8 1x1: -1"
  expect_printed @open-missing \
    "VelocartDriver: 'open' needs a port number or a device name, e.g. VelocartDriver('open', 3).\n"
  expect_result @open-missing "int8 1x1: -1"

  # frames and refusals; reads of the two status frames, again with no new
  # bytes, and after close
  expect_result @vel "uint8 1x26: $worked_velocity"
  for label in @bad-few @bad-complex @bad-cell; do expect_result $label "uint8 1x0"; done
  for label in @read @read-again; do
    expect_result $label "double 1x8: 1 1 2 0.5 1 -0.5 -1 0.5"
  done
  for label in @read-flow @read-closed; do
    expect_result $label "double 1x8: $flow_vector"
  done
  expect_host_error @read-two
  expect_result @close "none"
  grep -qxF '@clear note exit handler ran' "$transcript" || fail "clearing the module ran no exit handler"

  # The port is held exactly while the link is Open.
  for pair in @ports-at-load:0 @ports-no-port:0 @ports-not-serial:0 @ports-open:1 @ports-closed:0 \
      @ports-cleared:0 @ports-end:0; do
    label=${pair%%:*}
    held=$(lines_of "$label" note)
    [ "$held" = "open ports ${pair#*:}" ] || fail "$label: $held, expected open ports ${pair#*:}"
  done

  # The far end got exactly the frames sent while open, in order.
  echo quit >&3
  exec 3>&-
  timeout 10 tail --pid="$far_pid" -f /dev/null || fail "the pty peer did not stop"
  expected=""
  for label in @vel @odo @free @vel-2 @vel-reopened @vel-after-clear; do
    expected+=" $(values_of $label)"
  done
  received=$(od -An -v -tx1 "$work/received.bin" | tr 'a-f' 'A-F' | tr -s ' \n' ' ' || true)
  [ "$(echo $received)" = "$(echo $expected)" ] ||
    fail "the pty peer received: $(echo $received); expected: $(echo $expected)"
else
  # The simulated robot answers each frame; each read gets the reply to the
  # frame before it.
  expect_printed @open "$opened"
  expect_result @open "int8 1x1: 0"
  [ "$(values_of @read-odo | awk '{ print $1, $2, $3, $4 }')" = "1 1 2 0.5" ] ||
    fail "read after setOdometry [1 2 0.5]: $(values_of @read-odo)"
  [ "$(values_of @read-vel | awk '{ print $1, $5, $6, $8 }')" = "1 0.5 0.25 1" ] ||
    fail "read after sendVelocity [0.5 0.25]: $(values_of @read-vel)"
  [ "$(values_of @read-free | awk '{ print $1, $5, $6, $8 }')" = "1 0 0 0" ] ||
    fail "read after setFreeWheels: $(values_of @read-free)"
  expect_result @close "none"

  # The robot received exactly the echoed frames, intact.
  kill -TERM "$far_pid"
  timeout 10 tail --pid="$far_pid" -f /dev/null || fail "velocart-sim did not stop on SIGTERM"
  received=$(awk '$2 == "rx" { $1 = ""; $2 = ""; print }' "$work/sim.log" | tr -s ' \n' ' ' || true)
  expected="$(values_of @odo) $(values_of @vel) $(values_of @free)"
  [ "$(echo $received)" = "$(echo $expected)" ] ||
    fail "velocart-sim received: $(echo $received); expected: $(echo $expected)"
  grep -qx 'frames_bad 0' "$work/sim.stats" || fail "velocart-sim counters: $(tr '\n' ' ' <"$work/sim.stats")"
fi
finish
