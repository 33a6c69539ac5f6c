# Shared by tests/vm/guest, tests/vm/desktop and tests/vm/check: bounded
# waits, marks in the witnesses' logs ($log.mods from wlwatch, $log.leds from
# ledwatch), and what makes the wave in them.

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.05
  done
}
lines() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }
grown() { (($(lines "$1") >= $2)); }
gone() { ! kill -0 "$1" 2>/dev/null; }
ended() { gone "$1" || grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }  # (a child not waited for)
now_ms() { awk '{ printf "%d", $1 * 1000 }' /proc/uptime; }

# mark WHAT: where each phase starts in the witnesses' logs.
mark() { echo "mark $1 $(lines "$log.mods") $(lines "$log.leds")" >>"$log.results"; }
# marked RESULTS WHAT FIELD: that mark's line count in the client's log (3) or ledwatch's (4).
marked() { awk -v key="$2" '$1 == "mark" && $2 == key { print $'"$3"'; exit }' "$1"; }
marked_mods() { marked "$log.results" "$1" 3; }
changes() { grep -c '^[0-9]' "$log.mods"; }
# keymap_given MODS FROM Caps_Lock|other: the line of the first keymap the
# client received after line FROM whose Caps Lock key is Caps_Lock, or is not.
keymap_given() {
  awk -v from="$2" -v want="$3" 'NR > from && $1 == "keymap" &&
    ((want == "Caps_Lock") == ($3 == "Caps_Lock")) { print NR; exit }' "$1"
}
grown_changes() { (($(changes) >= $1)); }
# shows MASK: the client's last locked modifiers are MASK (a call's end, as it saw it).
shows() { [ "$(span "$log.mods" 0 999999 | tail -n 1 | cut -d' ' -f2)" = "$1" ]; }
# How often Caps Lock (0x2) changed in lines FROM..TO of a witness log.
caps_changes() {
  span "$1" "$2" "$3" | awk '{ c = int($2 / 2) % 2 } NR > 1 && c != last { n++ } { last = c }
    END { print n + 0 }'
}

# take_focus AS_USER... -- LEDWATCH_ARGS...: starts wlwatch (as the user) and
# ledwatch, until the compositor has taken up ledwatch's keyboard and given
# wlwatch the focus. One made while the compositor is still starting can be
# missed for good: make it again until one is taken. Sets wlwatch, ledwatch.
take_focus() {
  local as=()
  while [ "$1" != -- ]; do as+=("$1"); shift; done
  shift
  "${as[@]}" "$tools/wlwatch" >"$log.mods" 2>&1 &
  wlwatch=$! ledwatch=
  for _ in 1 2 3 4 5 6; do
    [ -n "$ledwatch" ] && kill $ledwatch && wait $ledwatch 2>/dev/null
    "$tools/ledwatch" "$@" >"$log.leds" 2>&1 &
    ledwatch=$!
    wait_for 10 grep -q focus "$log.mods" && return 0
  done
  echo "$log: the witness got no focus"
  return 1
}
# four_reads KEYSTATE...: four reads, between the marks reads and reads-end.
four_reads() {
  mark reads
  local said=()
  for _ in 1 2 3 4; do said+=("$("$@" 2>&1)/$?"); done
  echo "read ${said[*]}" >>"$log.results"
  mark reads-end
}
# wakeups PID: its voluntary context switches over 3 s, as "wakeups N 3".
wakeups() {
  local before
  before=$(awk '/^voluntary_ctxt_switches/ { print $2 }' "/proc/$1/status")
  sleep 3
  echo "wakeups $(($(awk '/^voluntary_ctxt_switches/ { print $2 }' "/proc/$1/status") - before)) 3" \
    >>"$log.results"
}
stop_witnesses() {
  kill $ledwatch $wlwatch 2>/dev/null
  wait $ledwatch $wlwatch 2>/dev/null
}

# Lines FROM..TO (marked counts) of a witness log: the changes only.
span() { awk -v from="$2" -v to="$3" 'NR > from && NR <= to && $1 ~ /^[0-9]+$/' "$1"; }
# wave LOG FROM TO CYCLE...: the last eight changes in lines FROM..TO follow
# CYCLE (the states of one round: all six, or under Wayland the masks of Num
# and Caps after each of their steps) and the median step is 90-130 ms: there,
# a change after a Scroll step (which lights nothing) comes two steps after
# the one before it. ORDER_ONLY=1 leaves the steps' length out (a sampled log);
# MERGED=1 also lets two changes come as one (LED writes merged by KWin).
# With SHOW_WAVES=1, a wave that fails shows its changes on stderr.
wave() {
  local steps median
  steps=$(per_step "$@")
  if [[ $steps != *bad* ]]; then
    [ "${ORDER_ONLY:-0}" = 1 ] && return 0
    median=$(median_of <<<"$steps")
    ((median >= 90 && median <= 130)) && return 0
  fi
  [ "${SHOW_WAVES:-0}" = 1 ] && echo "      the changes: $(span "$1" "$2" "$3" | tail -n 9 | xargs)" >&2
  return 1
}
# either_phase LOG FROM TO A B C D: the wave A B C D, or the same with one lock
# the other way round, B A D C. A step starved of the CPU for a whole step (a
# desktop starting up can starve it) falls due again inside its own tick and
# flips its lock twice; from there on the ring flips from the states it finds.
either_phase() { SHOW_WAVES=0 wave "$1" "$2" "$3" "$5" "$4" "$7" "$6" || wave "$@"; }
# per_step LOG FROM TO CYCLE...: each step's length over those changes, or bad.
per_step() {
  local log=$1 from=$2 to=$3
  shift 3
  span "$log" "$from" "$to" | if [ "${MERGED:-0}" = 1 ]; then collapse; else cat; fi | tail -n 9 |
    awk -v cycle="$*" -v merged="${MERGED:-0}" '
    BEGIN { n = split(cycle, c, " "); for (i = 1; i <= n; i++) { next_of[c[i]] = c[i % n + 1]; steps[c[i]] = 1 }
            if (n == 4) { steps[c[3]] = 2; steps[c[1]] = 2 } }
    NR > 1 { if (next_of[prev] != $2 && !(merged && next_of[next_of[prev]] == $2)) bad = 1
             print ($1 - at) / steps[$2] }
    { prev = $2; at = $1 }
    END { if (NR < 9 || bad) print "bad" }'
}
# One write that changed two LEDs shows as two changes in one millisecond: the last.
collapse() { awk 'NR > 1 && $1 != t { print line } { t = $1; line = $0 } END { if (NR) print line }'; }
median_of() { sort -n | awk '{ v[NR] = $1 } END { print int((v[4] + v[5]) / 2) }'; }
