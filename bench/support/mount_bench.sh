# shellcheck shell=bash
# What the mount benchmarks share (sourced, bash, after `set -euo pipefail`): their binaries, a fresh work
# folder that goes at the end with the mount and the server made in it, and the starting of those two.

# NAME BUILD [COMMAND...]: checks that the client, the server, fusermount3, mountpoint and each COMMAND are
# there (NAME says whose message it is), then sets server_bin, client, work (a fresh folder in /tmp) and mnt
# (made in it), and removes them at the end.
mount_bench_setup() {
  bench_name=$1
  server_bin=$2/apps/tidewright-server/tidewright-server
  client=$2/apps/tidewright/tidewright
  shift 2
  local binary
  for binary in "$server_bin" "$client" fusermount3 mountpoint "$@"; do
    command -v "$binary" > /dev/null || { echo "$bench_name: $binary not found (make bench-build)" >&2; exit 1; }
  done
  work=$(mktemp -d "/tmp/tw-bench-$bench_name.XXXXXX")
  mnt=$work/mnt
  server_pid=""
  mount_pid=""
  mkdir -p "$mnt"
  trap mount_bench_cleanup EXIT
}

# The mount of mount_here, when it runs: unmounted, and waited for (its uploads before it ends included).
unmount() {
  [ -n "$mount_pid" ] || return 0
  fusermount3 -u -q "$mnt" 2>/dev/null || true
  wait "$mount_pid" || true
  mount_pid=""
}

stop_server() {
  [ -n "$server_pid" ] || return 0
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}

mount_bench_cleanup() {
  unmount
  stop_server
  rm -rf "$work"
}

# LISTEN TOKEN: the server on that address (127.0.0.1:0 for any port) with an empty data folder the first
# time, its address in $base.
start_server() {
  : > "$work/server.out"
  "$server_bin" --data "$work/data" --token "$2" --listen "$1" > "$work/server.out" 2>> "$work/server.err" &
  server_pid=$!
  for _ in $(seq 1 600); do [ -s "$work/server.out" ] && break; sleep 0.1; done
  base=$(head -1 "$work/server.out")
  [ -n "$base" ] || { echo "$bench_name: the server did not start: $(tail -5 "$work/server.err")" >&2; exit 1; }
}

# [ENV=VALUE...]: `tidewright mount -f` on $mnt in the background (its pid in mount_pid), once it is mounted.
mount_here() {
  env "$@" "$client" mount -f "$mnt" 2>> "$work/mount.err" &
  mount_pid=$!
  for _ in $(seq 1 200); do mountpoint -q "$mnt" && return 0; kill -0 "$mount_pid" 2>/dev/null || break; sleep 0.05; done
  echo "$bench_name: the mount did not come up: $(tail -5 "$work/mount.err")" >&2
  exit 1
}
