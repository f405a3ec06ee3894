# shellcheck shell=sh
# Shared by the guest side of the emulated board's checks, the demo and the
# benchmark: the initramfs board's /init scripts (busybox sh) and the checks
# in the booted Debian system image (dash). Plain POSIX sh.

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

# Loads the simulated GPIO chip: lines 0..31 as sysfs GPIO numbers 0..31;
# with "load_chip named=1", numbered by the kernel from elsewhere and named
# like a Raspberry Pi's (line n "GPIOn") by the machine's device tree. The
# initramfs has the module at its root, the system image installed. The
# record's line numbers are the chip's own, and so the header's.
load_chip() {
  if [ -e /simgpio.ko ]; then insmod /simgpio.ko "$@"; else modprobe simgpio "$@"; fi && [ -e "$EVENTS" ]
}

# verdict NAME RESULT: one line for the host to read, from a RESULT that is
# "ok [detail]" or what went wrong.
verdict() {
  case "$2" in
  ok) echo "BOARD-CHECK $1 PASS" ;;
  "ok "*) echo "BOARD-CHECK $1 PASS ${2#ok }" ;;
  *) echo "BOARD-CHECK $1 FAIL $2" ;;
  esac
}

# line_of PIN: the kernel's number of the line that header pin PIN is: the
# one gpio-cycle-header's view gave it (a Raspberry Pi with a current
# kernel), else PIN itself.
line_of() {
  if [ -r /run/gpio-cycle-header/lines ]; then
    awk -v p="$1" '$1 == p && $2 != "-" { n = $2 } END { print n ? n : p }' /run/gpio-cycle-header/lines
  else
    echo "$1"
  fi
}

# The directions of pins 25, 24, 17 and 27 ("missing" for one not exported).
directions() {
  for _pin in 25 24 17 27; do
    cat "/sys/class/gpio/gpio$(line_of $_pin)/direction" 2>/dev/null || echo missing
  done | tr '\n' ' ' | sed 's/ $//'
}

# rates PID SECONDS: how fast a running gpio-cycle (or the bare C loop)
# polls, from its read calls (two per poll) over SECONDS: per second, and per
# second of the CPU time that it used (user and system), as "WALL CPU". The
# second figure leaves out the time that the process waited for a CPU.
rates() {
  _a="$(poll_usage "$1")"
  sleep "$2"
  echo "$_a $(poll_usage "$1")" | awk -v hz="$(getconf CLK_TCK 2>/dev/null || echo 100)" '
    { polls = ($4 - $1) / 2; printf "%.0f %.0f", polls / ($6 - $3), ($5 > $2 ? polls / (($5 - $2) / hz) : 0) }'
}
# rate PID SECONDS: polls per second.
rate() { rates "$@" | cut -d' ' -f1; }
# poll_usage PID: read calls so far, CPU time in clock ticks, seconds since boot.
poll_usage() {
  echo "$(awk '/^syscr/ { print $2 }' /proc/"$1"/io) $(awk '{ print $14 + $15 }' /proc/"$1"/stat) $(cut -d' ' -f1 /proc/uptime)"
}

# Sets an input line's level: press LINE / release LINE.
press() { echo "$1 1" >"$INPUT"; }
release() { echo "$1 0" >"$INPUT"; }

# The record of what was done to the lines, one event per line: "<ns> <kind>
# <line> <value>" (kinds as the simulated chip's: S output set, P input set
# from outside, I and O direction set). The simulated chip keeps it; on a
# board's own GPIO driver, soc_lines below takes it from the kernel's trace.
events() { cat "$EVENTS"; }

# How many events were recorded so far.
event_count() {
  events | wc -l
}

# events_since N: the events after the first N.
events_since() {
  events | tail -n +"$(($1 + 1))"
}

# count_since N KIND LINE [VALUE]: how many such events came after the first N.
count_since() {
  events_since "$1" | awk -v k="$2" -v l="$3" -v v="${4:-}" \
    '$2 == k && $3 == l && (v == "" || $4 == v) { n++ } END { print n + 0 }'
}

# until_true SECONDS COMMAND...: retries COMMAND every 0.1 s until it
# succeeds; fails when SECONDS have passed first (by the clock: under
# emulation one try can take a good part of a second).
until_true() {
  _end=$(awk -v n="$1" '{ print $1 + n }' /proc/uptime)
  shift
  until "$@"; do
    awk -v end="$_end" '{ exit !($1 < end) }' /proc/uptime || return 1
    sleep 0.1
  done
}

# wait_count N KIND LINE VALUE MIN SECONDS: waits until at least MIN such
# events came after the first N; fails when SECONDS pass first.
wait_count() {
  until_true "$6" count_reached "$@"
}
count_reached() { [ "$(count_since "$1" "$2" "$3" "$4")" -ge "$5" ]; }

# check_cycles N CYCLES: the output writes after event N hold CYCLES whole
# cycles: 25 high/24 low for 1 s, 25 low/24 high for 1 s, both low for 2 s
# (seen as the gap to the next cycle), 25 written just before 24 each time.
# The chip's timestamps are the kernel's: a phase a quarter of a second off
# is wrong (seen: within 10 ms, on a loaded host too).
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
        if (!within(p1, 0.95, 1.25) || !within(p2, 0.95, 1.25)) { print "phase lengths" detail; exit }
        if (b + 6 < n) {
          p3 = t[b + 6] - t[b + 4]; detail = detail sprintf("/%.3f", p3)
          if (!within(p3, 1.95, 2.25)) { print "phase lengths" detail; exit }
        }
      }
      print "ok phases(s)" detail
    }'
}

# The same checks on a board's own GPIO driver (the Raspberry Pi's SoC), where
# the header view (gpio-cycle-header) gives gpio-cycle its lines: soc_lines
# VIEW_DIR replaces the simulated chip's record by the kernel's trace of line
# values and directions (its numbers turned into the header's by the view's
# notes, VIEW_DIR/lines), and presses an input as QEMU's model allows: the
# line briefly an output at the wanted level, which it keeps as an input.
soc_lines() {
  VIEW="$1"
  grep -q ' /sys/kernel/tracing ' /proc/mounts || mount -t tracefs tracefs /sys/kernel/tracing
  _trace=/sys/kernel/tracing
  echo 'get == 0' >$_trace/events/gpio/gpio_value/filter
  echo 1 >$_trace/events/gpio/gpio_value/enable
  echo 1 >$_trace/events/gpio/gpio_direction/enable
  events() {
    awk 'NR == FNR { pin[$2] = $1; next }
      /gpio_value: [0-9]+ +set|gpio_direction: / {
        for (i = 1; i < NF && $i !~ /^[0-9]+\.[0-9]+:$/; i++) {}
        if (!($(i + 2) in pin)) next
        p = pin[$(i + 2)]; value = $(i + 1) == "gpio_value:"
        k = value ? ((p == 17 || p == 27) ? "P" : "S") : ($(i + 3) == "in" ? "I" : "O")
        printf "%.0f %s %s %s\n", $i * 1e9, k, p, value ? $(i + 4) : 0
      }' "$VIEW/lines" /sys/kernel/tracing/trace
  }
  press() { _set_input "$1" 1; }
  release() { _set_input "$1" 0; }
}
_set_input() {
  echo out >"$VIEW/gpio/gpio$1/direction"
  echo "$2" >"$VIEW/gpio/gpio$1/value"
  echo in >"$VIEW/gpio/gpio$1/direction"
}

# start_like_unit: starts /usr/bin/gpio-cycle the way its units do, from the
# installed unit files: gpio-cycle-header.service's step, then gpio-cycle's
# ExecStart= in a mount namespace of its own with the unit's BindPaths=
# (where its source exists), in the background; sets $pid. What they print
# goes to /tmp/header.out and /tmp/run.out.
unit_setting() { sed -n "s/^$2=//p" "/lib/systemd/system/$1" | head -n1; }
start_like_unit() {
  _step="$(unit_setting gpio-cycle-header.service ExecStart)"
  _bind="$(unit_setting gpio-cycle.service BindPaths)"
  _bind="${_bind#-}"
  _program="$(unit_setting gpio-cycle.service ExecStart)"
  # shellcheck disable=SC2086 # the unit's command line, split as systemd does
  ${_step#-} >/tmp/header.out 2>&1
  if [ -e "${_bind%%:*}" ]; then
    # shellcheck disable=SC2016 # expanded by that sh
    unshare -m sh -c 'mount --bind "$1" "$2" && exec "$3"' sh "${_bind%%:*}" "${_bind#*:}" "$_program" >/tmp/run.out 2>&1 &
  else
    "$_program" >/tmp/run.out 2>&1 &
  fi
  pid=$! # shellcheck disable=SC2034 # the caller's
}

# The checks of a running, set-up gpio-cycle that the initramfs board and the
# system image share. Each prints "ok <detail>" or what went wrong.

# Nothing is driven while both inputs are low.
check_idle() {
  _mark=$(event_count)
  sleep 1.5
  if [ "$(count_since "$_mark" S 25)$(count_since "$_mark" S 24)" = 00 ]; then
    echo ok
  else
    echo "outputs written while both inputs were low"
  fi
}

# check_press LINE: one short press of LINE gives exactly one cycle.
check_press() {
  _mark=$(event_count)
  press "$1"
  if ! wait_count "$_mark" S 25 1 1 10; then
    release "$1"
    echo "no cycle started"
    return
  fi
  release "$1"
  _reaction="$(events_since "$_mark" | awk '$2 == "P" && $4 == 1 && !p { p = $1 } $2 == "S" && !s { s = $1 }
                                           END { printf "%.3f", (s - p) / 1e9 }')"
  wait_count "$_mark" S 24 "" 3 15
  sleep 3.5 # the cycle's last 2 s, and then some: a second cycle would have begun
  _result="$(check_cycles "$_mark" 1)"
  _writes=$(($(count_since "$_mark" S 25) + $(count_since "$_mark" S 24)))
  if [ "${_result%% *}" = ok ] && [ "$_writes" = 6 ]; then
    echo "ok reaction ${_reaction}s, ${_result#ok }"
  else
    echo "$_result ($_writes output writes)"
  fi
}

# check_hold LINE: LINE held active gives cycles that follow each other
# without a gap.
check_hold() {
  _mark=$(event_count)
  press "$1"
  if wait_count "$_mark" S 24 "" 7 20; then
    release "$1"
    _result="$(check_cycles "$_mark" 1)"
  else
    release "$1"
    _result="no second cycle"
  fi
  wait_count "$_mark" S 24 "" 9 15 # the second cycle's last phase has begun:
  sleep 2.5                        # let it end
  echo "$_result"
}

# The as-installed tests (debian/tests): check NAME RESULT prints the same
# line as verdict, and sets $failed to 1 when RESULT is not "ok ...".
check() {
  verdict "$1" "$2"
  # shellcheck disable=SC2034 # the test's
  case "$2" in ok | "ok "*) ;; *) failed=1 ;; esac
}

# The service in the booted system image: a property of its unit, its main
# process (0 when none).
prop() { systemctl show -P "$1" gpio-cycle; }
main_pid() { systemctl show -P MainPID gpio-cycle; }
# now: seconds since boot, with fractions; since T: seconds from T to now.
now() { cut -d' ' -f1 /proc/uptime; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
# A process's credentials: uids, gids, groups and capability sets, one line.
credentials() { grep -E '^(Uid|Gid|Groups|Cap(Inh|Prm|Eff|Bnd|Amb)):' /proc/"$1"/status | tr -s '\t' ' ' | tr '\n' ' '; }
# The testbed has the simulated chip's module (the emulated board), or not
# (a real board: the checks that press inputs are skipped there).
have_chip() { modinfo simgpio >/dev/null 2>&1; }
# Stops the service and frees its pins (and the simulated chip, if loaded),
# for a check that starts from a board where nothing has run yet.
fresh_board() {
  [ "$(prop LoadState)" != loaded ] || systemctl stop gpio-cycle
  # The pins, and the lines that the header view gave for them.
  for _pin in 25 24 17 27 $(awk '{ print $2 }' /run/gpio-cycle-header/lines 2>/dev/null); do
    [ ! -e /sys/class/gpio/gpio$_pin ] || echo $_pin >/sys/class/gpio/unexport
  done
  ! lsmod | grep -q '^simgpio ' || rmmod simgpio
  # What the unit's gpio-cycle-diagnose and gpio-cycle-header said and kept
  # this boot, as if they had not.
  rm -f /run/gpio-cycle/said-* /run/gpio-cycle/entries
  rm -rf /run/gpio-cycle-header/gpio /run/gpio-cycle-header/lines /run/gpio-cycle-header/said \
    /run/gpio-cycle-header/unmendable
}
# The header view that the service's namespace mounts at /sys/class/gpio
# (its source, as the kernel's mount table names it), or nothing where
# /sys/class/gpio is the kernel's own there.
mounted_view() { awk '$5 == "/sys/class/gpio" && $4 ~ /^\/gpio-cycle-header\// { print $4 }' /proc/"$(main_pid)"/mountinfo 2>/dev/null; }
# explained [N]: what gpio-cycle-diagnose wrote to the service's journal in
# this boot (the unit's ExecStopPost=), after its first N lines.
explained() { journalctl -b -q -o cat -u gpio-cycle SYSLOG_IDENTIFIER=gpio-cycle-diagnose | tail -n +"$((${1:-0} + 1))"; }
# The service's main process has started again since systemd's timestamp $1.
started_again() { [ "$(prop ExecMainStartTimestampMonotonic)" != "$1" ]; }
# The service has failed with status 2 and been restarted N times since it
# was last started by hand (which sets systemd's count back to 0).
failed_restarts() { [ "$(prop ExecMainStatus)" = 2 ] && [ "$(prop NRestarts)" -ge "$1" ]; }
# running_set_up PID MARK: the service has been started anew (a main process
# other than PID) and has set up its pins: since event MARK by the simulated
# chip's record, or, on a board without it, all four pins in place.
running_set_up() {
  if [ -e "$EVENTS" ]; then
    set_up_again "$@"
  else
    [ "$(main_pid)" != 0 ] && [ "$(main_pid)" != "$1" ] && [ "$(directions)" = "out out in in" ]
  fi
}
# How many seccomp filters process $1 runs.
seccomp_filters() { awk '/^Seccomp_filters:/ { print $2 }' /proc/"$1"/status; }
# The service has been started anew (a main process other than $1) and has
# set up its pins since event $2.
set_up_again() { [ "$(main_pid)" != 0 ] && [ "$(main_pid)" != "$1" ] && [ "$(count_since "$2" I 27)" -ge 1 ]; }

# Comparing the poll rates of two gpio-cycle processes in the system image,
# where the emulator's speed drifts by the second: they take turns on the
# second CPU while this shell runs on the first. turns_begin also turns
# address space randomisation off for the processes started after it (under
# emulation a process's poll rate shifts with where its pages land);
# turns_end undoes both.
turns_begin() {
  _aslr=$(cat /proc/sys/kernel/randomize_va_space)
  echo 0 >/proc/sys/kernel/randomize_va_space
  taskset -p 1 $$ >/dev/null
}
turns_end() {
  echo "$_aslr" >/proc/sys/kernel/randomize_va_space
  taskset -p 3 $$ >/dev/null
}

# start_by_hand PID: starts /usr/bin/gpio-cycle outside any unit with the
# user, group and groups of process PID (as setpriv options in $hand_ids),
# at the unit's nice level, and sets $hand to its pid once it has set up.
start_by_hand() {
  hand_ids="$(awk '/^Uid:/ { u = $2 } /^Gid:/ { g = $2 } /^Groups:/ { $1 = ""; gsub(/^ | $/, ""); gsub(/ /, ","); s = $0 }
    END { print "--reuid=" u " --regid=" g " " (s == "" ? "--clear-groups" : "--groups=" s) }' /proc/"$1"/status)"
  _mark=$(event_count)
  # shellcheck disable=SC2086
  nice -n 10 setpriv $hand_ids /usr/bin/gpio-cycle >>/tmp/by-hand.out 2>&1 &
  # shellcheck disable=SC2034 # the caller's
  hand=$!
  wait_count "$_mark" I 27 "" 1 15
}

# take_turns A B PAIRS: processes A and B poll in turn, A for a second while
# B is stopped (SIGSTOP), then B while A is, PAIRS times over; one line per
# pair: "A-WALL A-CPU B-WALL B-CPU" (see rates). Both run again afterwards.
take_turns() {
  # (On a board with one CPU there is nothing to pin them to.)
  taskset -p 2 "$1" >/dev/null 2>&1 || true
  taskset -p 2 "$2" >/dev/null 2>&1 || true
  kill -STOP "$2"
  for _ in $(seq "$3"); do
    _first="$(rates "$1" 1)"
    kill -STOP "$1"
    kill -CONT "$2"
    echo "$_first $(rates "$2" 1)"
    kill -STOP "$2"
    kill -CONT "$1"
  done
  kill -CONT "$2"
  taskset -p 3 "$1" >/dev/null 2>&1 || true
  taskset -p 3 "$2" >/dev/null 2>&1 || true
}

# turns_summary: take_turns' lines in, one line out: A's polls per CPU second
# over B's (the ratio of the sums), the same per second, the pairs' count and
# the range of their ratios, and A's and B's mean polls per CPU second.
turns_summary() {
  awk '{ r = $4 > 0 ? $2 / $4 : 0; lo = (NR == 1 || r < lo) ? r : lo; hi = (NR == 1 || r > hi) ? r : hi
         aw += $1; ac += $2; bw += $3; bc += $4 }
    END { if (NR == 0 || bc == 0 || bw == 0) { print "no measurement"; exit }
          printf "ratio=%.3f wall_ratio=%.3f pairs=%d low=%.2f high=%.2f a=%.0f b=%.0f\n",
            ac / bc, aw / bw, NR, lo, hi, ac / NR, bc / NR }'
}
