#!/usr/bin/env bash
# Requests of one text through the prepax daemon, all waiting in Inbox when it
# starts, with one worker process and with one per processor: the time until
# every request is scheduled, each run checked for every request scheduled
# exactly once. Prints both times and the ratio.
#
#   bench/prepax/workers.sh [BUILD_DIR]     (REQUESTS=1000 by default)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build/bench}" && pwd)
bin=$build/bin
lib=$build/lib
requests=${REQUESTS:-1000}
cores=$(nproc)

work=$(mktemp -d /tmp/ringwell-workers-XXXXXX)
daemon=""
cleanup() {
  [ -n "$daemon" ] && kill -TERM "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export RINGWELL_REGISTRY=$work/registry.toml
export RINGWELL_EVENTLOG=$work/events.jsonl
export RINGWELL_JOURNAL=0

fresh_root() {
  root=$work/root
  rm -rf "$root"
  mkdir -p "$root"/{Inbox,Requests,Reports,Files/'{0}'}
  printf '[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\nRootDir = "%s/"\nAudioFormat = 49\n' \
    "$root" >"$RINGWELL_REGISTRY"
  "$bin/ringwell-regsvr" "$lib/libkel.so" "$lib/libtallier.so" "$lib/libwavshift.so" >/dev/null
  "$bin/prepax" -RegServer >/dev/null
}

# The requests are submitted once and copied into each run's Inbox.
fresh_root
for i in $(seq "$requests"); do
  "$bin/kel" submit --to 5551234 --say "Request $i: the backup of the accounting server failed." \
    >/dev/null
done
cp -r "$root/Inbox" "$work/submitted"

run() {
  local workers=$1
  fresh_root
  cp "$work/submitted"/*.xml "$root/Inbox/"
  local start end
  start=$(date +%s.%N)
  RINGWELL_PREPAX_WORKERS=$workers "$bin/prepax" >/dev/null 2>&1 &
  daemon=$!
  until [ -z "$(ls -A "$root/Inbox")" ] && [ -z "$(find "$root/Requests" -name .preprocessing)" ]; do
    sleep 0.02
  done
  end=$(date +%s.%N)
  kill -TERM "$daemon"
  wait "$daemon" || true
  daemon=""
  local scheduled files
  scheduled=$(grep -L 'Status=""\|Status="Processing"' "$root/Reports/"*.xml | wc -l)
  files=$(ls "$root/Requests/"*.xml | wc -l)
  if [ "$scheduled" -ne "$requests" ] || [ "$files" -ne "$requests" ]; then
    echo "workers.sh: $workers workers: $scheduled scheduled reports, $files request files" >&2
    exit 1
  fi
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }' 
}

one=$(run 1)
many=$(run "$cores")
awk -v n="$requests" -v one="$one" -v c="$cores" -v many="$many" 'BEGIN {
  printf "%d one-text requests through the daemon: 1 worker %.2f s, %d workers %.2f s: %.2fx faster (goal: 1.7x on 2 cores)\n",
    n, one, c, many, one / many }' 
