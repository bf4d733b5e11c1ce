# What the demos share (sourced by scripts/demo, demo-sip and demo-alert):
# ports free for every protocol a peer binds, waiting on a condition, a
# baresip phone that either starts or stops the demo with the end of its log,
# and an outcome checked against what the demo expects. Each failure says
# what went wrong and exits non-zero: a demo never ends "done" when it was not.

# free_port: a port of 127.0.0.1 free for both UDP and TCP (baresip binds its
# SIP port for both, whatever sip_transports says), held by nothing.
free_port() {
  python3 - <<'PY'
import socket
for _ in range(200):
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    port = udp.getsockname()[1]
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        tcp.bind(("127.0.0.1", port))
    except OSError:
        continue
    finally:
        tcp.close()
        udp.close()
    print(port)
    break
else:
    raise SystemExit("no port of 127.0.0.1 is free for both UDP and TCP")
PY
}

# wait_for SECONDS COMMAND...: until the command succeeds; 1 after SECONDS.
wait_for() {
  local until=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$until" ] || { echo "gave up waiting for: $*" >&2; return 1; }
    sleep 0.1
  done
}

# fail WHAT [LOG]: says what went wrong, with the last lines of LOG, and
# exits with 1.
fail() {
  echo "demo failed: $1" >&2
  if [ -n "${2:-}" ] && [ -e "$2" ]; then
    echo "-- the last lines of $2:" >&2
    tail -n 20 "$2" >&2
  fi
  exit 1
}

# start_phone CONFIG_DIR LOG: starts `baresip -f CONFIG_DIR` in the
# background and waits until it is ready; its pid is in $phone_pid. A phone
# that exits, says its start failed (a port already taken: "ua: init
# failed") or is not ready within 20 s stops the demo with its log's end.
start_phone() {
  local dir=$1 log=$2
  baresip -f "$dir" >"$log" 2>&1 &
  phone_pid=$!
  if declare -p pids >/dev/null 2>&1; then pids+=("$phone_pid"); fi
  local until=$((SECONDS + 20))
  until grep -q "baresip is ready" "$log" 2>/dev/null; do
    if ! kill -0 "$phone_pid" 2>/dev/null; then
      fail "the baresip phone did not start (it exited)" "$log"
    fi
    if grep -q -e "init failed" -e "Address already in use" "$log" 2>/dev/null; then
      kill "$phone_pid" 2>/dev/null || true
      fail "the baresip phone did not start" "$log"
    fi
    if [ "$SECONDS" -ge "$until" ]; then
      kill "$phone_pid" 2>/dev/null || true
      fail "the baresip phone was not ready within 20 s" "$log"
    fi
    sleep 0.1
  done
  if grep -q -e "init failed" -e "Address already in use" "$log"; then
    kill "$phone_pid" 2>/dev/null || true
    fail "the baresip phone did not start" "$log"
  fi
}

# expect_reached KEL REQUEST_ID WANTED: exits non-zero when the request's
# report says fewer recipients were reached than WANTED.
expect_reached() {
  local reached
  reached=$("$1" report "$2" --json | python3 -c 'import json, sys; print(json.load(sys.stdin)["delivery"]["reached"])')
  if [ "$reached" -lt "$3" ]; then
    fail "request $2 reached $reached of the $3 recipients it should have"
  fi
  echo "request $2 reached $reached, as expected"
}
