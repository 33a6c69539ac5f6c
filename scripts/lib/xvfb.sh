# start_xvfb: starts a private Xvfb on a free display as a child of this shell
# (in a session of its own, so Ctrl-C reaches it only through the caller)
# and sets XVFB_PID and XVFB_DISPLAY (":N") once it accepts connections.
start_xvfb() {
  local ready
  ready=$(mktemp)
  setsid Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 320x200x24 3>"$ready" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 200); do
    [ -s "$ready" ] && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.05
  done
  XVFB_DISPLAY=:$(head -n1 "$ready")
  rm -f "$ready"
  if [ "$XVFB_DISPLAY" = : ]; then
    echo "Xvfb did not start" >&2
    kill "$XVFB_PID" 2>/dev/null
    return 1
  fi
}

stop_xvfb() {
  kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  return 0
}
