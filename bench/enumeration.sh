#!/usr/bin/env bash
# Whole-process enumeration against tidewright-server on loopback, through the extension's enumerators.
#
#   bench/enumeration.sh [BUILD_DIR]      (default: build-bench; needs tidewright-server and enumerate_bench)
#
# 1. A server seeded with a folder "Bulk" of TW_BENCH_CHILDREN children (default 100,000): the folder
#    listed page by page, TW_BENCH_ENUM_RUNS times (default 3), with the peak memory after a tenth, half and
#    all of it, and the client's share of the listing time.
# 2. A server seeded with TW_BENCH_FEED files (default 200,000), so that its change feed holds that many
#    positions (plus one for the folder): the feed replayed from anchor "0" in change batches.
# Each server gets a fresh data folder under a temporary directory, listens on 127.0.0.1 only, and is
# stopped and removed at the end, whatever happens. Seeding takes most of the time (it creates one content
# file per node): about half a minute for 100,000 files here, one to two minutes for 200,000.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
server_bin=$build/apps/tidewright-server/tidewright-server
driver=$build/bench/enumerate_bench
children=${TW_BENCH_CHILDREN:-100000}
feed=${TW_BENCH_FEED:-200000}
runs=${TW_BENCH_ENUM_RUNS:-3}
export TW_BENCH_TOKEN=bench-token TW_BENCH_CHILDREN=$children

for binary in "$server_bin" "$driver"; do
  if [ ! -x "$binary" ]; then
    echo "enumeration.sh: $binary not found; build with -DTW_BENCH=ON first (make bench)" >&2
    exit 1
  fi
done

work=$(mktemp -d /tmp/tw-enum-bench.XXXXXX)
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT

# Starts a server seeded with $2 files in a folder "Bulk"; sets server_pid and base. Seeding happens before
# the server prints its address, so the wait covers it (several seconds per 100,000 files).
start_server() {
  local name=$1 count=$2 started=$EPOCHREALTIME waited=0
  "$server_bin" --data "$work/$name" --token "$TW_BENCH_TOKEN" --seed-bulk "$count" \
    >"$work/$name.out" 2>"$work/$name.err" &
  server_pid=$!
  base=""
  while [ -z "$base" ]; do
    if ! kill -0 "$server_pid" 2>/dev/null || [ "$waited" -ge 6000 ]; then
      echo "enumeration.sh: the server did not start:" >&2
      cat "$work/$name.err" >&2
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
    base=$(head -n 1 "$work/$name.out")
  done
  printf 'server %s seeded with %d files in %.1f s\n' "$base" "$count" \
    "$(awk "BEGIN { print $EPOCHREALTIME - $started }")"
}

echo "== listing a folder of $children children ($runs runs)"
start_server list "$children"
"$driver" list --base "$base" --runs "$runs"
stop_server

echo
echo "== replaying a change feed of $feed positions ($runs runs)"
start_server feed "$feed"
"$driver" changes --base "$base" --runs "$runs"
stop_server
