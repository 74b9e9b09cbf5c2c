#!/bin/sh
# The guest's /init: every claim on the real drivers in one boot, a "kernel:"
# line each on the console, then a reboot, which ends QEMU. The robots behind
# /dev/ttyS1 (8250) and /dev/ttyUSB0 (ftdi_sio, serial FTROBOT01) answer each
# command with a status frame; /dev/ttyUSB1 (FTSILENT02) is silent. A line
# "@@ COMMAND" asks the host to give QEMU's monitor COMMAND (pull or plug an
# adapter).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# Kernel messages off the console: one in the middle of a "@@" line spoils it.
dmesg -n 1
exec </dev/null
chmod 1777 /tmp
v=/velocart usb=/dev/ttyUSB0 latency=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
. $v/transcript.sh
printf 'root:x:0:0::/:/bin/sh\nrobot:x:1000:1000::/tmp:/bin/sh\nvisitor:x:1001:1001::/tmp:/bin/sh\n' >/etc/passwd
printf 'root:x:0:\ndialout:x:20:robot\nrobot:x:1000:\nvisitor:x:1001:\n' >/etc/group

# An adapter's node appears some time after its driver loads or it is
# plugged in, and goes some time after it is pulled: await TEST gives the
# loop that waits (5 s at most) until [ TEST ] holds, for eval or a !run.
await() { echo "for i in \$(seq 100); do [ $* ] && break; usleep 50000; done"; }
await_usb=$(await -e /dev/ttyUSB0)
for ko in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  insmod $v/modules/$ko.ko || echo "FAIL: insmod $ko"
done
eval "$await_usb"
# The silent adapter, plugged in once the robot's has its name.
echo "@@ device_add usb-serial,id=silent,bus=xhci.0,chardev=silent,serial=FTSILENT02,always-plugged=on" >/dev/console
eval "$(await -e /dev/ttyUSB1)"

# run NAME [USER]: the stand-in host, as USER, on the call script read from
# stdin, its transcript in /tmp/NAME.txt. Every open in the script must
# succeed: no claim below holds on a port that did not open.
run() {
  transcript=/tmp/$1.txt
  cat >/tmp/$1.calls
  su "${2:-root}" -c "$v/standin-host $v/VelocartDriver.mexa64 /tmp/$1.calls" \
    </dev/null >$transcript 2>&1 || fail "$1: the stand-in host exited with $?"
  expect_no_faults
  for label in $(sed -n 's/^\(@[^ ]*\) x = open .*/\1/p' /tmp/$1.calls); do
    expect_result $label "int8 1x1: 0"
  done
}

expect_eq() { [ "$2" = "$3" ] || fail "$1 is '$2', expected '$3'"; }

# round_trips PREFIX COUNT: commands, each followed by its reply: velocity k, -k.
round_trips() {
  for k in $(seq "$2"); do
    echo "@$1-v$k x = sendVelocity $k -$k"
    echo "@$1-r$k x = readLatest 0.3"
  done
}

# Every reply of round_trips PREFIX COUNT must be a valid frame carrying its
# own command's velocities; a stale or lost frame would carry another k.
valid_replies() {
  n=$(for k in $(seq "$2"); do
    values_of @$1-r$k | awk -v k=$k '$1 == 1 && $5 == k && $6 == -k'
  done | grep -c .)
  [ "$n" -eq "$2" ] || fail "$n of $2 replies valid: $(grep "^@$1-r[0-9]* result" $transcript | head -n 3)"
  replies=$n/$2
}

# session NAME USER PORT PROBE: 12 round trips on PORT as USER, with the shell
# command PROBE run while the port is open.
session() {
  run $1 $2 <<EOF
@open x = open $3
@probe !run $4
$(round_trips r 12)
@close close
EOF
  valid_replies r 12
}

# claim TEXT: one line for the checks since the last claim, after the last
# transcript if any failed.
claims=0 failed=0
claim() {
  claims=$((claims + 1)) verdict=ok
  if [ $failures -gt 0 ]; then
    echo "--- $transcript" && cat $transcript
    verdict=FAIL failed=$((failed + 1))
  fi
  echo "kernel: $* ... $verdict"
  failures=0
}

# 8250: the line as the module set it, read back by stty while it is open.
session com2 root /dev/ttyS1 "stty -a -F /dev/ttyS1 >/tmp/stty.txt"
for setting in 115200 cs8 -parenb -cstopb -icanon -isig -echo -icrnl -opost -ixon -crtscts; do
  tr '; ' '\n\n' </tmp/stty.txt | grep -qx -- "$setting" ||
    fail "the line lacks $setting: $(cat /tmp/stty.txt)"
done
claim "8250 /dev/ttyS1: open 0, 115200 8N1 raw, round trips $replies valid"

# The replies to a session that closed without reading them arrive after
# it closed; QEMU holds them and delivers some only after the next open
# has flushed its input. Each of them reports the pose 9 9 1.
run stale <<EOF
@a-open x = open /dev/ttyS1
@a-odo x = setOdometry 9 9 1
$(for k in $(seq 9); do echo "@a-v$k x = sendVelocity 0 0"; done)
@a-close close
!sleep 200
@b-open x = open /dev/ttyS1
@b-first x = readLatest 0.3
@b-odo x = setOdometry 1 2 0.5
@b-reply x = readLatest 0.3
@b-close close
EOF
expect_eq "element 1 of the first readLatest after open" "$(values_of @b-first | cut -d' ' -f1)" 0
expect_eq "the reply after open (valid, its own pose)" \
  "$(values_of @b-reply | cut -d' ' -f1-4)" "1 1 2 0.5"
claim "8250 stale input: the first readLatest after open gives element 1 = 0"

# ftdi_sio, as root and as a member of dialout: the low-latency flag sets
# the adapter's latency timer to 1 while the port is open.
chgrp dialout $usb
chmod 660 $usb
for user in root robot; do
  before=$(cat $latency)
  session usb-$user $user $usb "cat $latency >/tmp/latency-$user"
  during=$(cat /tmp/latency-$user) after=$(cat $latency)
  expect_eq "latency_timer while open" "$during" 1
  expect_eq "latency_timer after close" "$after" "$before"
  claim "ftdi_sio $usb as $user: round trips $replies valid," \
    "latency_timer $before -> $during -> $after"
done

# Exclusive: root holds the port; a second VelocartDriver is refused as a
# user (TIOCEXCL) and as root (root passes TIOCEXCL, the lock holds), and a
# program that takes no lock is refused as a user.
echo "@second x = open $usb" >/tmp/second.calls
second="$v/standin-host $v/VelocartDriver.mexa64 /tmp/second.calls"
run exclusive <<EOF
@open x = open $usb
@user !run su robot -c '$second' >/tmp/second-robot.txt
@root !run $second >/tmp/second-root.txt
@stty !run su robot -c 'stty -F $usb' >/tmp/stty-robot.txt 2>&1
@close close
EOF
for who in robot root; do
  grep -q '^@second printed ".*Device or resource busy; another program (standin-host, pid [0-9]*) holds the port' \
    /tmp/second-$who.txt ||
    fail "the second open as $who: $(grep '@second printed' /tmp/second-$who.txt | tail -n 1)"
done
grep -q 'Device or resource busy' /tmp/stty-robot.txt || fail "stty as robot: $(cat /tmp/stty-robot.txt)"
claim "exclusive $usb: a second VelocartDriver refused busy as robot and as root, naming" \
  "standin-host and its pid; stty as robot"

# A burst, the free-wheel frame, close at once; the robot's reply to a
# later command shows whether the free-wheel frame got out before it.
closes=""
for port in /dev/ttyS1 $usb; do
  name=${port#/dev/}
  run queued-$name <<EOF
@open x = open $port
$(for k in $(seq 20); do echo "@burst$k x = sendVelocity 0.5 0.5"; done)
@free x = setFreeWheels
@close close
@reopen x = open $port
@odo x = setOdometry 0 0 0
!sleep 300
@reply x = readLatest 0
@end close
EOF
  took=$(took_of @close)
  [ "$took" -lt 500 ] || fail "close on $name took $took ms"
  expect_eq "$name: the reply after the free-wheel frame (valid, v 0 0, free)" \
    "$(values_of @reply | cut -d' ' -f1,5,6,8)" "1 0 0 0"
  closes="$closes $name ${took} ms"
done
claim "close right after 21 frames returns:$closes; the last frame got out"

# Unplug while readLatest waits, with the module holding the port; the
# adapter comes back under the same name.
run unplug <<EOF
@open x = open $usb
$(round_trips p 2)
@pull !run echo '@@ device_del adapter' >/dev/console
@hangup x = readLatest 10
@ports !ports
$(round_trips gone 2)
@plug !run echo '@@ device_add usb-serial,id=adapter-back,bus=xhci.0,chardev=usb-back,serial=FTROBOT01' >/dev/console
@back !run $await_usb
@still x = readLatest 0.2
@reopen x = open $usb
$(round_trips back 1)
@close close
EOF
for text in 'could not be written' 'hung up'; do
  expect_eq "the count of '$text' messages" "$(grep -c "^@[^ ]* printed .*$text" $transcript)" 1
done
for label in @hangup @gone-r1 @gone-r2; do
  expect_eq "element 1 of $label" "$(values_of $label | cut -d' ' -f1)" 0
done
expect_eq "the note after the hang-up" "$(lines_of @ports note)" "open ports 0"
# Opened by name, the link waits for an open even with the adapter back.
expect_eq "what a call printed with the adapter back" "$(lines_of @still printed)" ""
expect_eq "element 1 of @still" "$(values_of @still | cut -d' ' -f1)" 0
valid_replies back 1
claim "unplug: write failure and hang-up reported once, open ports 0 after the hang-up, no" \
  "reopening by name; $usb again: open $(values_of @reopen), reply $replies valid"

# The ports table, one element per port: the row of NAME in a call's result,
# what a text field of it reads, and its robot field.
row_of() { values_of "$1" | sed 's/ | /\n/g' | grep -F "name=char 1x${#2}: \"$2\","; }
text_field() { echo "$1=char 1x${#2}: \"$2\""; }
printed_by() { lines_of "$1" printed | tr '\n' '|'; }
expect_row() {
  row_of "$1" "$2" | grep -qF -- "$3" || fail "$1: the row of $2 lacks '$3': $(row_of "$1" "$2")"
}
robot_in() { row_of "$1" "$2" | sed -n 's/.*robot=double 1x1: //p'; }

robot_id=usb:0403:6001:FTROBOT01 silent_id=usb:0403:6001:FTSILENT02
run table <<EOF
@ports x = ports
@several y = open usb:0403:6001
EOF
expect_eq "the size of the table" "$(result_of @ports | cut -d: -f1)" "struct 1x3"
expect_row @ports /dev/ttyS1 "$(text_field kind builtin)"
for row in $usb,FTROBOT01,$robot_id /dev/ttyUSB1,FTSILENT02,$silent_id; do
  name=$(echo $row | cut -d, -f1)
  expect_row @ports $name "$(text_field kind usb), vid=double 1x1: 1027, pid=double 1x1: 24577"
  expect_row @ports $name "$(text_field serial $(echo $row | cut -d, -f2))"
  expect_row @ports $name "$(text_field id $(echo $row | cut -d, -f3))"
done
expect_eq "what open of a part that two answer to printed" "$(printed_by @several)" \
  "\"I cannot open usb:0403:6001!\\n\"|\"VelocartDriver: usb:0403:6001 names 2 ports: $usb ($robot_id), /dev/ttyUSB1 ($silent_id); give a whole identity.\\n\"|"
claim "ports: /dev/ttyS1 builtin, $usb $robot_id, /dev/ttyUSB1 $silent_id, no ttyS0 (the" \
  "console), ttyS2 or ttyS3 (no UART), $(took_of @ports) ms; open usb:0403:6001 names both"

# Not in dialout, visitor may open neither adapter: the table and open say
# which group, and how to join it.
chgrp dialout $usb /dev/ttyUSB1
chmod 660 $usb /dev/ttyUSB1
run access visitor <<EOF
@ports x = ports
@open y = open /dev/ttyUSB1
EOF
fix="the device belongs to group dialout: sudo usermod -aG dialout visitor, then log in again"
expect_row @ports /dev/ttyUSB1 "$(text_field access "$fix")"
expect_eq "what open printed" "$(printed_by @open)" \
  "\"I cannot open /dev/ttyUSB1!\\n\"|\"VelocartDriver: Permission denied; $fix.\\n\"|"
claim "as visitor, access and a refused open say: $fix"

run probe <<EOF
@probe x = ports probe
EOF
for pair in /dev/ttyS1:1 $usb:1 /dev/ttyUSB1:0; do
  expect_eq "robot on ${pair%:*}" "$(robot_in @probe ${pair%:*})" ${pair#*:}
done
claim "ports probe: robot 1 on /dev/ttyS1 and $usb, 0 on the silent /dev/ttyUSB1;" \
  "$(took_of @probe) ms for 3 ports"

# Opened by identity, then both adapters pulled and plugged back, the silent
# one first: the robot's adapter is now ttyUSB1, and its link follows it.
run replug <<EOF
@open x = open $robot_id
$(round_trips id 2)
@pull !run echo '@@ device_del adapter-back' >/dev/console; echo '@@ device_del silent' >/dev/console; $(await ! -e $usb -a ! -e /dev/ttyUSB1)
@gone x = readLatest 0.3
@plug-silent !run echo '@@ device_add usb-serial,id=silent-back,bus=xhci.0,chardev=silent-back,serial=FTSILENT02,always-plugged=on' >/dev/console; $(await -e $usb)
@plug-robot !run echo '@@ device_add usb-serial,id=robot-back,bus=xhci.0,chardev=usb-back2,serial=FTROBOT01' >/dev/console; $(await -e /dev/ttyUSB1)
$(round_trips back 3)
@probe x = ports probe
@link x = linkOf $robot_id
$(round_trips after 1)
@close close
EOF
expect_eq "what open printed" "$(printed_by @open)" \
  "\"Port $robot_id is opened successfully.\\n\"|\"VelocartDriver: $robot_id is $usb.\\n\"|"
valid_replies id 2
expect_eq "element 1 while it is gone" "$(values_of @gone | cut -d' ' -f1)" 0
expect_eq "what the first call after the replug printed" "$(printed_by @back-v1)" \
  "\"VelocartDriver: link 1: $robot_id is back as /dev/ttyUSB1; reopened.\\n\"|"
valid_replies back 3
back=$replies
# The probe passes over the link's port, which still round trips after it.
expect_row @probe /dev/ttyUSB1 "$(text_field id $robot_id), $(text_field heldBy 'link 1')"
expect_eq "robot on the held /dev/ttyUSB1" "$(robot_in @probe /dev/ttyUSB1)" NaN
expect_row @probe $usb "$(text_field id $silent_id)"
expect_eq "robot on the silent $usb" "$(robot_in @probe $usb)" 0
expect_result @link "double 1x1: 1"
valid_replies after 1
claim "open $robot_id: $usb; both pulled, the silent one plugged back first: the link" \
  "reopened by itself on /dev/ttyUSB1, replies $back valid; linkOf gives 1; the probe" \
  "left the link's port alone, reply after it $replies valid"

# Robots that stream at the line's rate behind the 8250 (its far end now
# leads to one) and a third adapter, each logged for 10 s by the module's
# thread. The robot's clock in each frame (auxiliary 1, 4096 steps a
# second) tells the frames apart: for each log a "kernel-stream" line gives
# the count, the first clock and a digest of them all, and the host sets
# them against the simulator's own log of what it handed over.
run streams <<EOF
@switch !run echo '@@ chardev-change com2 serial,path=WORK/stream-com2' >/dev/console; echo '@@ device_add usb-serial,id=streamer,bus=xhci.0,chardev=stream-usb,serial=FTSTREAM03' >/dev/console; $(await -e /dev/ttyUSB2)
@open x = open /dev/ttyS1
@log log /tmp/stream-ttyS1.csv
@open-usb x = 2 | open | /dev/ttyUSB2
@log-usb 2 | log | /tmp/stream-ttyUSB2.csv
@wait !sleep 10000
@end log char:
@end-usb 2 | log | char:
@close close
@close-usb 2 | close
EOF
expect_result @open-usb "int8 1x1: 0"
streams=""
for port in ttyS1 ttyUSB2; do
  awk -F, 'NR > 1 && $2 == 0 { printf "%d\n", $9 * 4096 + 0.5 }' /tmp/stream-$port.csv >/tmp/$port.steps
  count=$(wc -l </tmp/$port.steps)
  [ "$count" -ge 3400 ] || fail "/dev/$port: $count frames logged in 10 s"
  echo "kernel-stream $port $count $(head -n 1 /tmp/$port.steps) $(md5sum </tmp/$port.steps | cut -d' ' -f1)"
  streams="$streams /dev/$port $count frames,"
done
claim "a robot streaming at 380 Hz logged for 10 s:$streams (set against the simulator's log)"

echo "kernel: $claims claims, $failed failed"
reboot -f
