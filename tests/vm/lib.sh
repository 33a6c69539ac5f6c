# Shared by tests/vm/guest and tests/vm/desktop: bounded waits, and marks in
# the witnesses' logs ($log.mods from wlwatch, $log.leds from ledwatch).

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
now_ms() { awk '{ printf "%d", $1 * 1000 }' /proc/uptime; }

# mark WHAT: where each phase starts in the witnesses' logs.
mark() { echo "mark $1 $(lines "$log.mods") $(lines "$log.leds")" >>"$log.results"; }
changes() { grep -c '^[0-9]' "$log.mods"; }
grown_changes() { (($(changes) >= $1)); }

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
