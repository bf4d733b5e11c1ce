#!/usr/bin/env bash
# The demos' shared start of a baresip phone (scripts/demo-lib.sh): a phone
# whose SIP port is taken stops the demo with a non-zero exit and the end of
# its log, instead of the demo going on to call nobody; free_port gives a
# port that UDP and TCP can both bind; expect_reached fails an outcome below
# what is expected. On 127.0.0.1 only.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/demo-lib.sh
work=$(mktemp -d /tmp/ringwell-demo-phone-XXXXXX)
trap 'kill $holder 2>/dev/null; rm -rf "$work"' EXIT
failures=0
check() {  # check WHAT CONDITION...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# free_port: both protocols bind it.
port=$(free_port)
check "free_port gives a port UDP and TCP can both bind" python3 -c '
import socket, sys
port = int(sys.argv[1])
for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", port))
    s.close()' "$port"

# A phone whose port another program holds (TCP, as a second baresip or any
# server would).
python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen()
print("holding", flush=True)
time.sleep(600)' "$port" >"$work/holder.out" &
holder=$!
wait_for 10 grep -q holding "$work/holder.out" || { echo "FAILED: the port could not be taken"; exit 1; }
mkdir -p "$work/phone"
cat >"$work/phone/config" <<CONF
poll_method epoll
sip_listen 127.0.0.1:$port
sip_transports udp
net_interface 127.0.0.1
module_path /usr/lib/baresip/modules
module account.so
CONF
echo "<sip:5550001@127.0.0.1:$port>;regint=0;answermode=auto" >"$work/phone/accounts"
# In a subshell, as a demo would run it: its exit is the demo's.
(start_phone "$work/phone" "$work/baresip.log"; echo "the demo went on") >"$work/demo.out" 2>&1
status=$?
check "a phone whose port is taken stops the demo (exit $status)" test "$status" -ne 0
check "the demo does not go on" bash -c "! grep -q 'the demo went on' '$work/demo.out'"
check "it says the phone did not start" grep -q "demo failed: the baresip phone" "$work/demo.out"
check "it shows the end of the phone's log" grep -q -- "-- the last lines of $work/baresip.log" "$work/demo.out"
check "no phone is left running" bash -c "! pgrep -f '^baresip -f $work/phone' >/dev/null"

# An outcome below what the demo expects is a failure, with the numbers.
fake_kel="$work/kel"
printf '#!/bin/sh\necho %s\n' "'{\"delivery\": {\"reached\": 0, \"total\": 4}}'" >"$fake_kel"
chmod +x "$fake_kel"
(expect_reached "$fake_kel" "{ID}" 3) >"$work/outcome.out" 2>&1
status=$?
check "an outcome below the expected one exits non-zero (exit $status)" test "$status" -ne 0
check "it names what was reached" grep -q "reached 0 of the 3 recipients" "$work/outcome.out"

if [ "$failures" -ne 0 ]; then
  echo "--- demo output:"; cat "$work/demo.out"
  echo "--- phone log:"; cat "$work/baresip.log" 2>/dev/null
fi
exit "$failures"
