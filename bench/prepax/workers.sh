#!/usr/bin/env bash
# Requests of one text through the prepax daemon, all waiting in Inbox when it
# starts, with one worker process and with one per processor, on tmpfs and on
# disk: the time until every request is scheduled (min and median of RUNS
# runs, the two worker counts taking turns), each run checked for every
# request scheduled exactly once. Besides the whole run, the time from the
# first report on: the daemon pauses one second before its first look at
# Inbox, whatever the number of workers, and that pause is not throughput. Also counts the syncs (fsync, fdatasync,
# syncfs) per request, and prints the load before and after.
#
#   bench/prepax/workers.sh [BUILD_DIR]
#     REQUESTS=1000 RUNS=3 TMPFS_DIR=/dev/shm DISK_DIR=/var/tmp
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build/bench}" && pwd)
bin=$build/bin
lib=$build/lib
requests=${REQUESTS:-1000}
runs=${RUNS:-3}
cores=$(nproc)
tmpfs_dir=${TMPFS_DIR:-/dev/shm}
disk_dir=${DISK_DIR:-/var/tmp}

work=$(mktemp -d /tmp/ringwell-workers-XXXXXX)
roots=()
daemon=""
cleanup() {
  [ -n "$daemon" ] && kill -TERM "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
  rm -rf "$work" "${roots[@]}"
}
trap cleanup EXIT
export RINGWELL_REGISTRY=$work/registry.toml
export RINGWELL_EVENTLOG=$work/events.jsonl
export RINGWELL_JOURNAL=0

# An empty storage root below $1, registered with the components.
fresh_root() {
  root=$1/root
  rm -rf "$root"
  mkdir -p "$root"/{Inbox,Requests,Reports,Files/'{0}'}
  printf '[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\nRootDir = "%s/"\nAudioFormat = 49\n' \
    "$root" >"$RINGWELL_REGISTRY"
  "$bin/ringwell-regsvr" "$lib/libkel.so" "$lib/libtallier.so" "$lib/libwavshift.so" >/dev/null
  "$bin/prepax" -RegServer >/dev/null
}

# The requests are submitted once and copied into each run's Inbox.
fresh_root "$work"
for i in $(seq "$requests"); do
  "$bin/kel" submit --to 5551234 --say "Request $i: the backup of the accounting server failed." \
    >/dev/null
done
cp -r "$root/Inbox" "$work/submitted"

# Seconds until every request is scheduled, from the start and from the
# first report made ("whole from_first"); prepax runs as "$@" with
# $RINGWELL_PREPAX_WORKERS = $2, below directory $1.
run() {
  local dir=$1 workers=$2
  shift 2
  fresh_root "$dir"
  cp "$work/submitted"/*.xml "$root/Inbox/"
  sync
  local start end
  start=$(date +%s.%N)
  RINGWELL_PREPAX_WORKERS=$workers "$@" "$bin/prepax" >/dev/null 2>&1 &
  daemon=$!
  until [ -n "$(ls -A "$root/Reports")" ]; do sleep 0.005; done
  local first
  first=$(date +%s.%N)
  until [ -z "$(ls -A "$root/Inbox")" ] && [ -z "$(find "$root/Requests" -name .preprocessing)" ]; do
    sleep 0.02
  done
  end=$(date +%s.%N)
  if [ "$#" -gt 0 ]; then
    kill -TERM $(cat "/proc/$daemon/task/$daemon/children")  # the daemon below strace
  else
    kill -TERM "$daemon"
  fi
  wait "$daemon" || true
  daemon=""
  local scheduled files
  scheduled=$({ grep -L 'Status=""\|Status="Processing"' "$root/Reports/"*.xml || true; } | wc -l)
  files=$(ls "$root/Requests/"*.xml | wc -l)
  if [ "$scheduled" -ne "$requests" ] || [ "$files" -ne "$requests" ]; then
    echo "workers.sh: $workers workers: $scheduled scheduled reports, $files request files" >&2
    exit 1
  fi
  awk -v a="$start" -v f="$first" -v b="$end" 'BEGIN { printf "%.3f %.3f\n", b - a, b - f }'
}

# "min median" of the numbers on standard input.
min_median() {
  sort -g | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.2f %.2f\n", v[1], m }'
}

echo "load before: $(uptime | sed 's/.*load average: //')"
for place in tmpfs disk; do
  dir=$tmpfs_dir
  [ "$place" = disk ] && dir=$disk_dir
  fs=$(stat -f -c %T "$dir")
  if { [ "$place" = tmpfs ] && [ "$fs" != tmpfs ]; } || { [ "$place" = disk ] && [ "$fs" = tmpfs ]; }; then
    echo "workers.sh: $dir is $fs, not $place; set ${place^^}_DIR" >&2
    exit 1
  fi
  base=$(mktemp -d "$dir/ringwell-workers-XXXXXX")
  roots+=("$base")
  : >"$work/one" && : >"$work/many"
  for _ in $(seq "$runs"); do
    run "$base" 1 >>"$work/one"
    run "$base" "$cores" >>"$work/many"
  done
  for column in 1 2; do
    read -r one_min one_median < <(cut -d' ' -f"$column" "$work/one" | min_median)
    read -r many_min many_median < <(cut -d' ' -f"$column" "$work/many" | min_median)
    what="whole run"
    [ "$column" = 2 ] && what="from the first report"
    awk -v n="$requests" -v p="$place ($fs)" -v r="$runs" -v c="$cores" -v w="$what" \
      -v a="$one_min" -v b="$one_median" -v x="$many_min" -v y="$many_median" 'BEGIN {
      printf "%d one-text requests on %s, %d runs, %s: 1 worker min %.2f s median %.2f s; %d workers min %.2f s median %.2f s: %.2fx faster (min), %.2fx (median); goal 1.7x on 2 cores\n",
        n, p, r, w, a, b, c, x, y, a / x, b / y }'
  done
done

if command -v strace >/dev/null; then
  # Syncs per request on disk, one worker, over a part of the requests.
  sample=$((requests < 100 ? requests : 100))
  rm -rf "$work/sample" && mkdir "$work/sample"
  submitted=("$work/submitted"/*.xml)
  cp "${submitted[@]:0:$sample}" "$work/sample/"
  mv "$work/submitted" "$work/all" && mv "$work/sample" "$work/submitted"
  requests=$sample
  run "$base" 1 strace -f -o "$work/trace" -e trace=fsync,fdatasync,syncfs >/dev/null
  syncs=$(grep -c -E '(fsync|fdatasync|syncfs)\(' "$work/trace")
  awk -v s="$syncs" -v n="$sample" 'BEGIN {
    printf "syncs (fsync, fdatasync, syncfs) per request, 1 worker, %d requests: %.2f\n", n, s / n }'
fi
echo "load after: $(uptime | sed 's/.*load average: //')"
