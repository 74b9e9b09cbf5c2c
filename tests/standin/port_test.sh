#!/usr/bin/env bash
# A MATLAB module driven by the stand-in host through a port whose far end
# is a pty held by a test program:
#   port_test.sh MODE windows WIN_BUILD PREFIX CABLE FAR_END CALLS
#       the Windows module under Wine, through COM7: CABLE is the link the
#       far end creates, and the prefix's dosdevices/com7 points at it
#       (com8 at com8-cable beside it, for a second far end)
#   port_test.sh MODE linux STANDIN_HOST MODULE FAR_END CALLS
#       the Linux module, in a folder where COM7 (and com7) are links to the
#       pty, so the script's port names stay as they are; the lines that
#       name what only Windows has are rewritten: open 7 and open 8 become
#       open COM7 and COM8 (Linux numbers are /dev/ttyS*), NUL becomes
#       /dev/null (a device, but no terminal), \\.\COM7 the pty's own path
# MODE is `peer` (the test's pty peer: records every byte and sends status
# frames), `peers` (a pty peer on COM7 and another on COM8, for two links)
# or `sim` (the simulated robot: answers every command frame).
set -euo pipefail
source "$(dirname "$0")/platform.sh"
mode=$1
use_platform "$2" "$3" "$4"
work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-standin-XXXXXX")
if [ "$platform" = windows ]; then
  cable=$5
  cable8=$(dirname "$cable")/com8-cable
  far_end=$6
  calls=$7
  no_port_reason='Invalid function; it is not a serial port.'
  not_serial=NUL
  not_serial_reason='Access denied; it is not a serial port.'
else
  cable=$work/COM7
  cable8=$work/COM8
  far_end=$(readlink -f "$5")
  calls=$(readlink -f "$6")
  no_port_reason='No such file or directory.'
  not_serial=/dev/null
  not_serial_reason='refused; it is not a serial port.'
fi
[ -f "$far_end" ] || fail "$far_end does not exist"

transcript=$work/transcript.txt
declare -A far_pid=()
helper_pid=""
cleanup() {
  local pid
  [ -z "$helper_pid" ] || kill "$helper_pid" 2>/dev/null || true
  exec 3>&- 4>&- 2>/dev/null || true
  for pid in "${far_pid[@]}"; do
    kill -TERM "$pid" 2>/dev/null || continue
    timeout 5 tail --pid="$pid" -f /dev/null || kill -KILL "$pid" 2>/dev/null || true
  done
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
# A status frame of 0x11 (XON), 0x13 (XOFF) and 0x00 bytes: the header,
# velocities 0x1113/256 and 0x1311/256, auxiliary values 17/4096 and 19/4096.
flow_body="1A 00 11 13 00 11 13 11 13 13 11 00 00 00 00 00 00 00 00 00 00 00 00 13 00 11 00"
flow_status="AA $flow_body $(crc16_cms $flow_body)"
flow_vector="1 0 0 0 17.07421875 19.06640625 0.004150390625 0.004638671875"

# Fails unless WHAT received exactly FRAMES, each a call's label (its
# result's bytes) or bytes: expect_frames WHAT RECEIVED FRAMES...
expect_frames() {
  local what=$1 received=$2 expected="" frame
  shift 2
  for frame in "$@"; do
    [[ $frame != @* ]] || frame=$(values_of "$frame")
    expected+=" $frame"
  done
  [ "$(echo $received)" = "$(echo $expected)" ] ||
    fail "$what received: $(echo $received); expected: $(echo $expected)"
}

# The bytes of FILE in upper-case hex, one space between them.
hex_of() {
  od -An -v -tx1 "$1" | tr 'a-f' 'A-F' | tr -s ' \n' ' ' || true
}

# Starts the far end of PORT on LINK with ARGS, fed from $work/PORT.in held
# open on FD, and waits until it is ready: start_far_end PORT FD LINK ARGS...
start_far_end() {
  local port=$1 fd=$2 link=$3
  shift 3
  rm -f "$link"
  mkfifo "$work/$port.in"
  "$far_end" --link "$link" "$@" <"$work/$port.in" >"$work/$port.out" 2>"$work/$port.err" 3>&- &
  far_pid[$port]=$!
  eval "exec $fd>\"\$work/$port.in\""
  wait_for_line "$work/$port.out" "ready $link" 10 ||
    { echo "FAIL: $(basename "$far_end") on $port did not get ready: $(cat "$work/$port.err")"; exit 1; }
}

case $mode in
  peer | peers) start_far_end com7 3 "$cable" --record "$work/received.bin" ;;
  sim) start_far_end com7 3 "$cable" --log "$work/sim.log" --stats "$work/sim.stats" ;;
  *) echo "FAIL: unknown far end '$mode'"; exit 1 ;;
esac
[ "$mode" != peers ] || start_far_end com8 4 "$cable8" --record "$work/received-com8.bin"
pty=$(readlink -f "$cable")
if [ "$platform" = windows ]; then
  ln -sfn "$cable" "$WINEPREFIX/dosdevices/com7"
  ln -sfn "$cable8" "$WINEPREFIX/dosdevices/com8"
  open_path='\\\\.\\COM7'
else
  ln -s COM7 "$work/com7"
  sed -E -e 's/ open ([78])$/ open COM\1/' -e 's|open NUL$|open /dev/null|' \
    -e "s|open char: \\\\\\\\\\.\\\\COM7$|open char: $pty|" "$calls" >"$work/linux.calls"
  calls=$work/linux.calls
  open_path=$pty
fi
# An earlier program left hardware flow control on: the open must clear it.
[ "$mode" = peer ] && stty -F "$pty" crtscts

if [ "$mode" = peer ]; then
  # Once the first frame has arrived, while the host script waits before
  # its first read, the peer replies and the port's line settings are read
  # from the pty; the second reply follows the fourth frame.
  (wait_for_size "$work/received.bin" 26 60 && echo "send $worked_status" >&3 &&
    stty -a -F "$pty" >"$work/line-settings.txt" 2>&1 &&
    wait_for_size "$work/received.bin" 104 60 && echo "send $flow_status" >&3 &&
    wait_for_size "$work/received.bin" 130 60 && echo "send ${worked_status:0:38}" >&3 &&
    sleep 0.3 && echo "send ${worked_status:39}" >&3) &
  helper_pid=$!
elif [ "$mode" = peers ]; then
  # Each peer answers with a frame of its own, in the script's order: COM7
  # after @vel-1, COM8 once @odo-2 and @vel-2 are in, COM7 again after @odo-1
  # (x 3, y 4, heading 1). Asked to (hang-up.request), COM7's peer hangs up;
  # hung-up tells the host once its pty master is closed.
  body_3_4_1="1A 00 00 00 00 00 00 80 FF 00 01 00 00 40 40 00 00 80 40 00 00 80 3F 00 08 00 F0"
  (wait_for_size "$work/received.bin" 26 60 && echo "send $worked_status" >&3 &&
    wait_for_size "$work/received-com8.bin" 52 60 && echo "send $flow_status" >&4 &&
    wait_for_size "$work/received.bin" 52 60 &&
    echo "send AA $body_3_4_1 $(crc16_cms $body_3_4_1)" >&3 &&
    wait_for_size "$work/hang-up.request" 1 60 && echo hangup >&3 &&
    wait_for_no_master "${far_pid[com7]}" 10 && touch "$work/hung-up") &
  helper_pid=$!
fi

started=$(date +%s%N)
status=0
run_host "$calls" >"$transcript" 2>"$work/host.err" || status=$?
echo "stand-in host ($platform): exit $status after $((($(date +%s%N) - started) / 1000000)) ms"
[ "$status" -eq 0 ] || fail "the stand-in host exited with $status: $(tail -n 5 "$work/host.err" | tr '\n' '|')"
expect_no_faults

# The call opened PORT (COM7 if not given) and said so.
expect_opened() {
  expect_printed "$1" "Port ${2:-COM7} is opened successfully.\\n"
  expect_result "$1" "int8 1x1: 0"
}
refused_frame() {
  echo "VelocartDriver: '$1' needs $2, e.g. VelocartDriver('$1', $3); nothing was sent.\n"
}

if [ "$mode" = peer ]; then
  # open: the port without a device, COM7 by number and by name, another
  # port while COM7 is open
  # Each refusal says why, in the system's words.
  expect_printed @no-port 'I cannot open COM8!\n' "VelocartDriver: $no_port_reason\\n"
  expect_result @no-port "int8 1x1: -1"
  expect_printed @not-serial "I cannot open $not_serial!\\n" "VelocartDriver: $not_serial_reason\\n"
  expect_result @not-serial "int8 1x1: -1"
  for label in @open @open-again @open-text @open-string; do expect_opened $label; done
  expect_opened @open-lower com7
  expect_opened @open-path "$open_path"
  expect_printed @other-port 'I cannot open COM8!\n' \
    "VelocartDriver: COM7 is already open; call VelocartDriver('close') first.\n"
  expect_result @other-port "int8 1x1: -1"
  expect_printed @open-missing \
    "VelocartDriver: 'open' needs a port number or a device name, e.g. VelocartDriver('open', 3).\n"
  expect_result @open-missing "int8 1x1: -1"
  [[ "$(lines_of @command-missing printed | head -n 1)" == '"VelocartDriver: unknown command '"'(text that cannot be read)'"'; commands are '* ]] ||
    fail "@command-missing: $(lines_of @command-missing printed | head -n 1)"
  expect_result @command-missing "double 1x1: -1"
  expect_printed @open-accent 'I cannot open COM\xC3\x9C!\n' \
    "VelocartDriver: COM7 is already open; call VelocartDriver('close') first.\n"
  expect_result @open-accent "int8 1x1: -1"

  # frames: the worked bytes, refusals that send nothing
  expect_result @vel "uint8 1x26: $worked_velocity"
  expect_printed @vel
  expect_printed @bad-few "$(refused_frame sendVelocity 'a real numeric array of 2 velocities' '[0.2 0.5]')"
  expect_result @bad-few "uint8 1x0"
  expect_result @bad-complex "uint8 1x0"
  expect_result @bad-cell "uint8 1x0"
  expect_result @bad-open "int8 1x1: -1"

  # read: the status frame the peer sent, again with no new bytes; the
  # second frame, and still that after close
  for label in @read @read-again; do
    expect_result $label "double 1x8: 1 1 2 0.5 1 -0.5 -1 0.5"
  done
  for label in @read-flow @read-closed; do
    expect_result $label "double 1x8: $flow_vector"
  done
  expect_host_error @read-two

  # The wait ends with the frame's last byte, well before its timeout; a wait
  # with nothing coming runs its time; read returns at once afterwards.
  expect_result @wait "double 1x8: 1 1 2 0.5 1 -0.5 -1 0.5"
  expect_took @wait -ge 250
  expect_took @wait -lt 4000
  expect_result @no-frame "double 1x8: 0 1 2 0.5 1 -0.5 -1 0.5"
  expect_took @no-frame -ge 240
  expect_took @read-at-once -lt 100

  # Ctrl-C: the wait ends within 50 ms of the flag, says so once, and gives
  # element 1 = 0; the stop frames are among those the peer received.
  expect_result @interrupted "double 1x8: 0 1 2 0.5 1 -0.5 -1 0.5"
  expect_printed @interrupted 'VelocartDriver: interrupted; the robot was told to stop.\n'
  raised=$(lines_of @interrupted note | sed -n 's/^interrupt raised at \([0-9]*\)\..*/\1/p')
  [ -n "$raised" ] && [ $(($(took_of @interrupted) - raised)) -le 50 ] ||
    fail "@interrupted took $(took_of @interrupted) ms, the flag raised at ${raised:-no time} ms"

  # 115200 baud 8N1, and no XON/XOFF flow control in either direction
  settings=$(tr '; ' '\n\n' <"$work/line-settings.txt" || true)
  for setting in 115200 cs8 -parenb -cstopb -ixon -ixoff -crtscts; do
    grep -qx -- "$setting" <<<"$settings" ||
      fail "the line settings lack $setting: $(tr '\n' ' ' <"$work/line-settings.txt" || true)"
  done
  expect_host_error @close-out
  expect_result @close "none"
  expect_printed @close
  expect_result @close-closed "none"

  # while Closed a frame is echoed after about 10 ms and sends nothing
  [[ "$(result_of @vel-closed)" == "uint8 1x26: AA 16 "* ]] ||
    fail "@vel-closed: result is '$(result_of @vel-closed)', expected a 1x26 echo"
  expect_took @vel-closed -ge 9

  # reopened after close, and after the module was cleared with COM7 open
  expect_opened @reopen
  expect_opened @open-after-clear
  grep -qxF '@clear note exit handler ran' "$transcript" || fail "clearing the module ran no exit handler"

  # The port handle is held exactly while the link is Open: a refused open
  # leaves none, close and clearing the module release it.
  for pair in @ports-at-load:0 @ports-no-port:0 @ports-not-serial:0 @ports-open:1 @ports-closed:0 @ports-cleared:0 \
      @ports-end:0; do
    label=${pair%%:*}
    held=$(lines_of "$label" note)
    [ "$held" = "open ports ${pair#*:}" ] || fail "$label: $held, expected open ports ${pair#*:}"
  done
  expect_result @vel-after-clear "uint8 1x26: $worked_velocity"

  # The far end got exactly the frames sent while open, in order.
  echo quit >&3
  exec 3>&-
  timeout 10 tail --pid="${far_pid[com7]}" -f /dev/null || fail "the pty peer did not stop"
  # Ctrl-C (@interrupted), clearing the module while the robot drove
  # (@vel-reopened) and closing while it drove (@vel-after-clear) each told
  # it to stop: a zero velocity, then free wheels.
  zero="AA 16 00 03 00 01 03 00 $(printf '00 %.0s' $(seq 16)) E2 99"
  free="AA 16 00 03 00 01 00 00 $(printf '00 %.0s' $(seq 16)) DE A5"
  expect_frames "the pty peer" "$(hex_of "$work/received.bin")" @vel @odo @free @vel-2 @vel-3 \
    "$zero" "$free" @vel-reopened "$zero" "$free" @vel-after-clear "$zero" "$free"
elif [ "$mode" = peers ]; then
  # Two links: each opens its own port and reads its own peer's frame; link
  # 1 carries on once link 2 is closed.
  expect_opened @open-1
  expect_opened @open-2 COM8
  expect_result @read-2 "double 1x8: $flow_vector"
  expect_result @read-1 "double 1x8: 1 1 2 0.5 1 -0.5 -1 0.5"
  expect_result @read-1-alone "double 1x8: 1 3 4 1 1 -0.5 -1 0.5"

  # COM7's far end gone: the wait ends at once and says so once; the next
  # wait says nothing; the first frame command says the write failed, once;
  # the handle is let go.
  [ "$(lines_of @hung-up note)" = "hung-up appeared" ] || fail "the COM7 peer did not hang up"
  for label in @dead @dead-again; do expect_result $label "double 1x8: 0 3 4 1 1 -0.5 -1 0.5"; done
  expect_printed @dead 'VelocartDriver: COM7 hung up; open it again once it is back.\n'
  expect_took @dead -lt 1000
  expect_printed @dead-again
  expect_took @dead-again -lt 100
  expect_printed @dead-vel 'VelocartDriver: the frame could not be written to COM7.\n'
  expect_printed @dead-vel-again
  [ "$(lines_of @ports-dead note)" = "open ports 0" ] || fail "@ports-dead: $(lines_of @ports-dead note)"

  # Each peer received exactly its own link's frames.
  echo quit >&4
  exec 3>&- 4>&-
  for port in com7 com8; do
    timeout 10 tail --pid="${far_pid[$port]}" -f /dev/null || fail "the $port peer did not stop"
  done
  expect_frames "the com7 peer" "$(hex_of "$work/received.bin")" @vel-1 @odo-1
  expect_frames "the com8 peer" "$(hex_of "$work/received-com8.bin")" @odo-2 @vel-2 @free-2
else
  # The simulated robot answers each frame; each read gets the reply to the
  # frame before it.
  expect_opened @open
  read_odo=$(values_of @read-odo)
  read_vel=$(values_of @read-vel)
  read_free=$(values_of @read-free)
  [ "$(awk '{ print $1, $2, $3, $4 }' <<<"$read_odo")" = "1 1 2 0.5" ] ||
    fail "read after setOdometry [1 2 0.5] is not valid with that pose: $read_odo"
  [ "$(awk '{ print $1, $5, $6, $8 }' <<<"$read_vel")" = "1 0.5 0.25 1" ] ||
    fail "read after sendVelocity [0.5 0.25] does not report those velocities, driven: $read_vel"
  [ "$(awk '{ print $1, $5, $6, $8 }' <<<"$read_free")" = "1 0 0 0" ] ||
    fail "read after setFreeWheels does not report free wheels: $read_free"
  # With background reading the same replies come through the thread, and
  # the log has them and the commands, under its header.
  expect_result @background "double 1x1: 1"
  [ "$(values_of @reply-bg | awk '{ print $1, $5, $8 }')/$(values_of @reply-free | awk '{ print $1, $5, $8 }')" = \
    "1 0.25 1/1 0 0" ] || fail "background replies: $(values_of @reply-bg) / $(values_of @reply-free)"
  [ "$(cut -d, -f2,3,7 "$work/robot.csv" | tr '\n' ' ')" = "sent,code,v 1,3,0.25 0,0,0.25 1,0,0 0,0,0 " ] ||
    fail "the log: $(tr '\n' ' ' <"$work/robot.csv" || true)"
  [ $platform = linux ] || [ "$(lines_of @log-device printed)" = \
    "\"VelocartDriver: cannot log to COM7.csv: it names a device, not a file on a disk; nothing is logged.\\n\"" ] ||
    fail "@log-device: $(lines_of @log-device printed)"
  expect_result @close "none"
  table=$(result_of @ports)
  if [ "$platform" = windows ]; then
    for row in 'COM8", kind=char 1x5: "other"' \
        'COM7", kind=char 1x5: "other", vid=double 1x1: 0, pid=double 1x1: 0, serial=char 0x0, description=char 0x0, id=char 1x4: "COM7", heldBy=char 1x6: "link 1"'; do
      [[ $table == *"name=char 1x4: \"$row"* ]] || fail "@ports lacks $row: $table"
    done
  else
    [[ $table == "struct 1x"* && $table != *"$pty"* ]] || fail "@ports: $table, the simulator's pty $pty"
  fi

  # The robot's log holds the frames it received intact: exactly the echoes.
  kill -TERM "${far_pid[com7]}"
  timeout 10 tail --pid="${far_pid[com7]}" -f /dev/null || fail "velocart-sim did not stop on SIGTERM"
  received=$(awk '$2 == "rx" { $1 = ""; $2 = ""; print }' "$work/sim.log" | tr -s ' \n' ' ' || true)
  expect_frames velocart-sim "$received" @odo @vel @free @vel-bg @free-bg
  grep -qx 'frames_good 5' "$work/sim.stats" || fail "velocart-sim counters: $(tr '\n' ' ' <"$work/sim.stats")"
  grep -qx 'frames_bad 0' "$work/sim.stats" || fail "velocart-sim counters: $(tr '\n' ' ' <"$work/sim.stats")"
fi
finish
