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

# check_cycles N CYCLES: the output writes after event N hold CYCLES whole
# cycles: 25 high/24 low for 1 s, 25 low/24 high for 1 s, both low for 2 s
# (seen as the gap to the next cycle), 25 written just before 24 each time.
# Prints "ok" and the phase lengths, or what is wrong.
check_cycles() {
  events_since "$1" | awk -v cycles="$2" '
    BEGIN { n = 0 }
    $2 == "S" { t[n] = $1 / 1e9; line[n] = $3; val[n] = $4; n++ }
    function within(x, lo, hi) { return x >= lo && x <= hi }
    END {
      split("25 24 25 24 25 24", wl, " "); split("1 0 0 1 0 0", wv, " ")
      need = 6 * cycles
      if (n < need) { print "only " n " output writes, want " need; exit }
      for (i = 0; i < need; i++) {
        if (line[i] != wl[i % 6 + 1] || val[i] != wv[i % 6 + 1]) {
          print "write " i " set " line[i] "=" val[i] ", want " wl[i % 6 + 1] "=" wv[i % 6 + 1]; exit
        }
        if (i % 2 == 1 && t[i] - t[i - 1] > 0.25) { print "24 written " t[i] - t[i - 1] " s after 25"; exit }
      }
      detail = ""
      for (c = 0; c < cycles; c++) {
        b = 6 * c; p1 = t[b + 2] - t[b]; p2 = t[b + 4] - t[b + 2]
        detail = detail sprintf(" %.3f/%.3f", p1, p2)
        if (!within(p1, 0.95, 1.6) || !within(p2, 0.95, 1.6)) { print "phase lengths" detail; exit }
        if (b + 6 < n) {
          p3 = t[b + 6] - t[b + 4]; detail = detail sprintf("/%.3f", p3)
          if (!within(p3, 1.95, 2.8)) { print "phase lengths" detail; exit }
        }
      }
      print "ok phases(s)" detail
    }'
}
