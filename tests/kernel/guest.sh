#!/bin/sh
# The guest's /init: every claim on the real drivers in one boot, one
# "kernel:" line each on the console, then a reboot, which ends QEMU. The module runs in
# the stand-in host from call scripts written here; the robot behind
# /dev/ttyS1 (8250) and the one behind /dev/ttyUSB0 (ftdi_sio) answer each
# command with a status frame. "@@ unplug" and "@@ replug" on the console
# ask the host to pull the adapter and plug it back in.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec </dev/null
chmod 1777 /tmp
v=/velocart
usb=/dev/ttyUSB0
latency=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
. $v/transcript.sh
printf 'root:x:0:0::/:/bin/sh\nrobot:x:1000:1000::/tmp:/bin/sh\n' >/etc/passwd
printf 'root:x:0:\ndialout:x:20:robot\nrobot:x:1000:\n' >/etc/group

# Waits up to 5 s for the adapter's device node.
await_usb='for i in $(seq 100); do [ -e /dev/ttyUSB0 ] && break; usleep 50000; done'

for ko in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  insmod $v/modules/$ko.ko || echo "FAIL: insmod $ko"
done
eval "$await_usb"

# run NAME [USER]: the stand-in host on /tmp/NAME.calls, its transcript in
# /tmp/NAME.txt, as USER if given.
run() {
  transcript=/tmp/$1.txt
  command="$v/standin-host $v/VelocartDriver.mexa64 /tmp/$1.calls"
  su "${2:-root}" -c "$command" >$transcript 2>&1 || fail "$1: the stand-in host exited with $?"
  expect_no_faults
}

# COUNT commands of PREFIX, each followed by its reply: velocity k, -k.
round_trips() {
  for k in $(seq "$2"); do
    echo "@$1-v$k x = sendVelocity $k -$k"
    echo "@$1-r$k x = readLatest 0.3"
  done
}

# replies: how many of them were answered by a valid frame with their own
# velocities, of how many.
valid_replies() {
  n=0
  for k in $(seq "$2"); do
    values_of @$1-r$k | awk -v k=$k '$1 == 1 && $5 == k && $6 == -k { ok = 1 } END { exit !ok }' &&
      n=$((n + 1))
  done
  [ $n -eq "$2" ] || fail "$n of $2 replies valid: $(grep -- "-r[0-9]* result" $transcript | head -n 3)"
  replies=$n/$2
}

# How often the module printed TEXT in the last transcript.
printed_count() {
  grep -c "^@[^ ]* printed .*$1" $transcript
}

claims=0
failed=0
claim() {
  claims=$((claims + 1))
  if [ $failures -eq 0 ]; then
    echo "kernel: $* ... ok"
  else
    echo "--- $transcript"
    cat $transcript
    echo "kernel: $* ... FAIL"
    failed=$((failed + 1))
  fi
  failures=0
}

# 8250: the line as the module set it, read back by stty while it is open.
{
  echo "@open x = open /dev/ttyS1"
  echo "@stty !run stty -a -F /dev/ttyS1 >/tmp/stty.txt"
  round_trips s 12
  echo "@close close"
} >/tmp/com2.calls
run com2
expect_result @open "int8 1x1: 0"
for setting in 115200 cs8 -parenb -cstopb -icanon -isig -echo -icrnl -opost -ixon -crtscts; do
  tr ';' ' ' </tmp/stty.txt | tr -s ' ' '\n' | grep -qx -- "$setting" ||
    fail "the line lacks $setting: $(cat /tmp/stty.txt)"
done
valid_replies s 12
claim "8250 /dev/ttyS1: open 0, 115200 8N1 raw, round trips $replies valid"

# The replies to a session that closed without reading them arrive after
# it closed; QEMU holds them and delivers some only after the next open
# has flushed its input. Each of them reports the pose 9 9 1.
{
  echo "@a-open x = open /dev/ttyS1"
  echo "@a-odo x = setOdometry 9 9 1"
  for k in $(seq 9); do echo "@a-v$k x = sendVelocity 0 0"; done
  echo "@a-close close"
  echo "!sleep 200"
  echo "@b-open x = open /dev/ttyS1"
  echo "@b-first x = readLatest 0.3"
  echo "@b-odo x = setOdometry 1 2 0.5"
  echo "@b-reply x = readLatest 0.3"
  echo "@b-close close"
} >/tmp/stale.calls
run stale
expect_result @b-open "int8 1x1: 0"
first=$(values_of @b-first)
[ "${first%% *}" = 0 ] || fail "the first readLatest after open returned $first"
[ "$(values_of @b-reply | cut -d' ' -f1-4)" = "1 1 2 0.5" ] ||
  fail "the reply after open is not its own: $(values_of @b-reply)"
claim "8250 stale input: the first readLatest after open gives element 1 = ${first%% *}"

# ftdi_sio, as root and as a member of dialout: the low-latency flag sets
# the adapter's latency timer to 1 while the port is open.
chgrp dialout $usb
chmod 660 $usb
for user in root robot; do
  before=$(cat $latency)
  {
    echo "@open x = open $usb"
    echo "@latency !run cat $latency >/tmp/latency-$user"
    round_trips u 12
    echo "@close close"
  } >/tmp/usb-$user.calls
  run usb-$user $user
  expect_result @open "int8 1x1: 0"
  during=$(cat /tmp/latency-$user)
  after=$(cat $latency)
  [ "$during" = 1 ] && [ "$after" = "$before" ] ||
    fail "latency_timer $before before, $during while open, $after after close"
  valid_replies u 12
  claim "ftdi_sio $usb as $user: round trips $replies valid," \
    "latency_timer $before -> $during -> $after"
done

# Exclusive: root holds the port; a second VelocartDriver is refused as a
# user (TIOCEXCL) and as root (root passes TIOCEXCL, the lock holds), and a
# program that takes no lock is refused as a user.
echo "@second x = open $usb" >/tmp/second.calls
second="$v/standin-host $v/VelocartDriver.mexa64 /tmp/second.calls"
{
  echo "@open x = open $usb"
  echo "@user !run su robot -c '$second' >/tmp/second-robot.txt"
  echo "@root !run $second >/tmp/second-root.txt"
  echo "@stty !run su robot -c 'stty -F $usb' >/tmp/stty-robot.txt 2>&1"
  echo "@close close"
} >/tmp/exclusive.calls
run exclusive
expect_result @open "int8 1x1: 0"
for who in robot root; do
  grep -q '^@second printed ".*Device or resource busy; another program holds the port' \
    /tmp/second-$who.txt ||
    fail "the second open as $who: $(grep '@second printed' /tmp/second-$who.txt | tail -n 1)"
done
grep -q 'Device or resource busy' /tmp/stty-robot.txt || fail "stty as robot: $(cat /tmp/stty-robot.txt)"
claim "exclusive $usb: a second VelocartDriver refused busy as robot and as root, stty as robot"

# A burst, the free-wheel frame, close at once; the robot's reply to a
# later command shows whether the free-wheel frame got out before it.
closes=""
for port in /dev/ttyS1 $usb; do
  name=${port#/dev/}
  {
    echo "@open x = open $port"
    for k in $(seq 20); do echo "@burst$k x = sendVelocity 0.5 0.5"; done
    echo "@free x = setFreeWheels"
    echo "@close close"
    echo "@reopen x = open $port"
    echo "@odo x = setOdometry 0 0 0"
    echo "!sleep 300"
    echo "@reply x = readLatest 0"
    echo "@end close"
  } >/tmp/queued-$name.calls
  run queued-$name
  took=$(took_of @close)
  [ "$took" -lt 500 ] || fail "close on $name took $took ms"
  [ "$(values_of @reply | cut -d' ' -f1,5,6,8)" = "1 0 0 0" ] ||
    fail "the free-wheel frame did not reach the robot: $(values_of @reply)"
  closes="$closes $name ${took} ms"
done
claim "close right after 21 frames returns:$closes; the last frame got out"

# Unplug while readLatest waits, with the module holding the port; the
# adapter comes back under the same name.
{
  echo "@open x = open $usb"
  round_trips p 2
  echo "@pull !run echo '@@ unplug' >/dev/console"
  echo "@hangup x = readLatest 10"
  echo "@ports !ports"
  round_trips gone 2
  echo "@plug !run echo '@@ replug' >/dev/console"
  echo "@back !run $await_usb"
  echo "@reopen x = open $usb"
  round_trips back 1
  echo "@close close"
} >/tmp/unplug.calls
run unplug
[ "$(printed_count 'could not be written')" = 1 ] || fail "the failed write was not reported once"
[ "$(printed_count 'hung up')" = 1 ] || fail "the hang-up was not reported once"
for label in @hangup @gone-r1 @gone-r2; do
  [ "$(values_of $label | cut -d' ' -f1)" = 0 ] || fail "$label: $(values_of $label)"
done
held=$(lines_of @ports note)
[ "$held" = "open ports 0" ] || fail "after the hang-up: $held"
expect_result @reopen "int8 1x1: 0"
valid_replies back 1
claim "unplug: write failure and hang-up reported once, $held after the hang-up," \
  "$usb again: open $(values_of @reopen), reply $replies valid"

echo "kernel: $claims claims, $failed failed"
reboot -f
