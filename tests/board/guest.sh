# Shared by the emulated board's /init scripts (busybox sh, in the guest).

EVENTS=/sys/kernel/debug/simgpio/events
INPUT=/sys/kernel/debug/simgpio/input

board_start() {
  /bin/busybox --install -s /bin
  mkdir -p /proc /sys /dev /tmp
  mount -t proc proc /proc
  mount -t sysfs sysfs /sys
  mount -t devtmpfs devtmpfs /dev
  mount -t debugfs debugfs /sys/kernel/debug
  mount -t tmpfs tmpfs /tmp
}

board_stop() {
  sync
  poweroff -f
}

# Loads the simulated GPIO chip: lines 0..31 as sysfs GPIO numbers 0..31.
load_chip() {
  insmod /simgpio.ko && [ -e "$EVENTS" ]
}

# Sets an input line's level: press LINE / release LINE.
press() { echo "$1 1" >"$INPUT"; }
release() { echo "$1 0" >"$INPUT"; }

# How many events the chip has recorded so far.
event_count() {
  wc -l <"$EVENTS"
}

# events_since N: the events after the first N.
events_since() {
  tail -n +"$(($1 + 1))" "$EVENTS"
}

# count_since N KIND LINE [VALUE]: how many such events came after the first N.
count_since() {
  events_since "$1" | awk -v k="$2" -v l="$3" -v v="${4:-}" \
    '$2 == k && $3 == l && (v == "" || $4 == v) { n++ } END { print n + 0 }'
}

# wait_count N KIND LINE VALUE MIN SECONDS: waits until at least MIN such
# events came after the first N; fails when SECONDS pass first.
wait_count() {
  _tries=$(($6 * 10))
  while [ "$(count_since "$1" "$2" "$3" "$4")" -lt "$5" ]; do
    _tries=$((_tries - 1))
    [ "$_tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
