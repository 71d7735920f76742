#!/usr/bin/env bash
# Writing through the mount against what bounds it on this machine, measured side by side in every round, on
# loopback.
#
#   bench/mount_write.sh [BUILD_DIR]   (default: build-bench; needs tidewright, tidewright-server and
#                                       bench/journal_commit built there, /dev/fuse and getfattr)
#
# 1. A server with an empty data folder; a file of TW_BENCH_SIZE_MIB MiB (default 1024) of random bytes and a
#    folder of TW_BENCH_FILES files (default 1,000) of 4 KiB each, both local.
# 2. TW_BENCH_ROUNDS rounds (default 5), each:
#    - three steps of the big file, taking turns at going first: `tidewright put` of it (the whole command);
#      `dd bs=1M` of it onto a fresh mount (empty cache, --write-back 0), then waiting until the mount says
#      the file is uploaded (its xattr user.tidewright.state), with the mount's peak resident size (VmHWM)
#      read once it is; and `dd bs=1M` of it into a file of the cache folder's file system (the page cache),
#      with, for reference, the same `dd conv=fdatasync` (what a close on the mount waits for);
#    - the floor of one close on that file system (bench/journal_commit: one fdatasync of a 4 KiB file and
#      one journal commit, the mean of 200), times the number of files: the bound of the copy below;
#    - `cp -r` of the folder onto a fresh mount (the default write-back delay, 5 s), then its unmount, which
#      starts every upload at once and ends when all are done: the copy's time, and the files uploaded a
#      second from the start of the copy to the end of the mount, checked against the service's listing.
#    every step that fills the page cache starts with fresh memory for it (support/figures.sh: fresh_memory).
# 3. Prints every round, then best and median over the rounds with their goals: dd and upload at least 0.7x
#    `put`; dd alone at least 0.5x dd into the local file (each beside the bound a durable close sets: the
#    local dd with conv=fdatasync, and for the upload that dd followed by `put`); `cp -r` under 2 s (for 1,000 files; in proportion
#    for another TW_BENCH_FILES); at least 100 files uploaded a second; the mount's peak RSS under 64 MiB. A
#    goal is met when the median meets it; goals that are not met never fail the script.
# Everything lives in a fresh temporary folder that is removed at the end; it needs about 4 times the file's
# size free in /tmp (more with many rounds: each leaves two copies on the server).
#
# Waiting for the uploads: `tidewright status --wait` is the command for it; the two ways used here (the
# xattr polled every 20 ms; the unmount, which makes the same call into the mount) wait for the same thing,
# and were written before it existed. The big
# file's mount uploads at once (--write-back 0) because `status --wait` right after `dd` would start it then;
# the copy keeps the 5 s delay, as when a person copies a folder, so that its uploads compete with `cp` for
# the journal and the disk only once `cp` takes longer than that, and its unmount starts them as
# `status --wait` would.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
server_bin=$build/apps/tidewright-server/tidewright-server
client=$build/apps/tidewright/tidewright
floor_bin=$build/bench/journal_commit
size_mib=${TW_BENCH_SIZE_MIB:-1024}
files=${TW_BENCH_FILES:-1000}
rounds=${TW_BENCH_ROUNDS:-5}
token=bench-token
for binary in "$server_bin" "$client" "$floor_bin" fusermount3 mountpoint getfattr; do
  command -v "$binary" > /dev/null || { echo "mount_write.sh: $binary not found (make bench-build; getfattr: apt-get install attr)" >&2; exit 1; }
done
# shellcheck source=support/figures.sh
source "$here/support/figures.sh"

work=$(mktemp -d /tmp/tw-bench-write.XXXXXX)
mnt=$work/mnt
server_pid=""
# The mount runs in the foreground of a background job: its pid is the mount's own (VmHWM), and an unmount
# waits for its end, the uploads it makes first included.
mount_pid=""
unmount() {
  [ -n "$mount_pid" ] || return 0
  fusermount3 -u -q "$mnt" 2>/dev/null || true
  wait "$mount_pid" || true
  mount_pid=""
}
cleanup() {
  unmount
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt" "$work/small"

echo "== mount_write: making a ${size_mib} MiB file and a folder of $files files of 4 KiB"
head -c $((size_mib * 1048576)) /dev/urandom > "$work/big.bin"
head -c $((files * 4096)) /dev/urandom | (cd "$work/small" && split -b 4096 -a 5 -d - file-)
bytes=$((size_mib * 1048576))
"$server_bin" --data "$work/data" --token "$token" > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
for _ in $(seq 1 600); do [ -s "$work/server.out" ] && break; sleep 0.1; done
base=$(head -1 "$work/server.out")
[ -n "$base" ] || { echo "mount_write.sh: the server did not start: $(cat "$work/server.err")" >&2; exit 1; }
umask 077
printf '{"base":"%s","token":"%s"}\n' "$base" "$token" > "$work/domain.json"
export TIDEWRIGHT_CONFIG="$work/domain.json" XDG_CACHE_HOME="$work/cache" XDG_STATE_HOME="$work/state"

# A mount on an empty cache and state, uploading WRITE_BACK seconds after the last close.
fresh_mount() {
  unmount
  rm -rf "$work/cache" "$work/state"
  "$client" mount -f --write-back "$1" "$mnt" 2>> "$work/mount.err" &
  mount_pid=$!
  for _ in $(seq 1 200); do mountpoint -q "$mnt" && return 0; kill -0 "$mount_pid" 2>/dev/null || break; sleep 0.05; done
  echo "mount_write.sh: the mount did not come up: $(tail -5 "$work/mount.err")" >&2
  exit 1
}
# FILE: waits until the mount says it is uploaded (at most 10 minutes).
wait_uploaded() {
  local state
  for _ in $(seq 1 30000); do
    state=$(getfattr --only-values -n user.tidewright.state "$1" 2>/dev/null || true)
    [ "$state" = uploaded ] && return 0
    sleep 0.02
  done
  echo "mount_write.sh: $1 is still $state after 10 minutes" >&2
  exit 1
}
peak_mib() { awk '/^VmHWM:/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
# FOLDER NAME: the service's line (JSON) of the child NAME of FOLDER (an id, or root).
child() { "$client" --json ls "$1" | grep -F "\"filename\":\"$2\"" | sed -n 1p; }

step_put() {
  sync; fresh_memory "$size_mib" "$work"
  t_put=$(seconds "$client" put root "$work/big.bin" --name "put-$round.bin")
}
# The local file, the mount's cache file and the server's file fill the page cache: fresh memory for three.
step_mount() {
  fresh_mount 0
  sync; fresh_memory $((3 * size_mib)) "$work"
  local start=$EPOCHREALTIME
  t_dd=$(seconds dd if="$work/big.bin" of="$mnt/written-$round.bin" bs=1M status=none)
  wait_uploaded "$mnt/written-$round.bin"
  t_written=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.6f", b - a}')
  peak=$(peak_mib "$mount_pid")
  unmount
}
step_local() {
  sync; fresh_memory "$size_mib" "$work"
  t_local=$(seconds dd if="$work/big.bin" of="$work/local.bin" bs=1M status=none)
  rm "$work/local.bin"
  sync; fresh_memory "$size_mib" "$work"
  t_durable=$(seconds dd if="$work/big.bin" of="$work/local.bin" bs=1M conv=fdatasync status=none)
  rm "$work/local.bin"
}

cat "$work/big.bin" "$work"/small/* > /dev/null  # every step reads them from the page cache
written=(); dd_alone=(); written_bound=(); dd_bound=(); peaks=(); cp_seconds=(); floors=(); per_second=()
r_put=(); r_written=(); r_dd=(); r_local=(); r_durable=(); s_fsync=(); s_commit=()
turns=(put mount local)
for round in $(seq 1 "$rounds"); do
  for turn in 0 1 2; do "step_${turns[(round + turn) % 3]}"; done
  # The check that the whole file arrived: its size on the service.
  child root "written-$round.bin" | grep -q "\"size\":${bytes}[,}]" ||
    { echo "mount_write.sh: written-$round.bin is not on the service with $bytes bytes" >&2; exit 1; }

  # On a disk done with the big files' write-back, as the copy is.
  sync
  read -r t_close t_fsync t_commit < <("$floor_bin" "$work/floor")
  floor=$(awk -v c="$t_close" -v n="$files" 'BEGIN {printf "%.4f", c * n}')
  fresh_mount 5
  sync; fresh_memory 64 "$work"
  start=$EPOCHREALTIME
  t_cp=$(seconds cp -r "$work/small" "$mnt/small-$round")
  unmount
  t_all=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.6f", b - a}')
  folder=$(child root "small-$round" | grep -o '"id":"[^"]*"' | cut -d'"' -f4)
  arrived=$("$client" --json ls "$folder" | grep -o '"filename":"file-' | wc -l)
  [ "$arrived" = "$files" ] ||
    { echo "mount_write.sh: $arrived of $files files of small-$round are on the service" >&2; exit 1; }

  written+=("$(ratio "$t_put" "$t_written")"); dd_alone+=("$(ratio "$t_local" "$t_dd")"); peaks+=("$peak")
  # What sets the pace of both: a close on the mount returns once the file is on the disk, as the local dd
  # with conv=fdatasync does, and its upload starts after that, at best at the rate of `put`.
  dd_bound+=("$(ratio "$t_local" "$t_durable")")
  written_bound+=("$(ratio "$t_put" "$(awk -v a="$t_durable" -v b="$t_put" 'BEGIN {print a + b}')")")
  cp_seconds+=("$t_cp"); floors+=("$floor"); per_second+=("$(awk -v n="$files" -v s="$t_all" 'BEGIN {printf "%.1f", n / s}')")
  r_put+=("$(rate "$bytes" "$t_put")"); r_written+=("$(rate "$bytes" "$t_written")"); r_dd+=("$(rate "$bytes" "$t_dd")")
  r_local+=("$(rate "$bytes" "$t_local")"); r_durable+=("$(rate "$bytes" "$t_durable")")
  s_fsync+=("$(awk -v s="$t_fsync" 'BEGIN {printf "%.3f", s * 1000}')"); s_commit+=("$(awk -v s="$t_commit" 'BEGIN {printf "%.3f", s * 1000}')")
  printf 'round %d (MB/s): put %s  dd+upload %s  dd %s  local dd %s  local dd+fdatasync %s  |  peak RSS %s MiB  |  ' \
    "$round" "${r_put[-1]}" "${r_written[-1]}" "${r_dd[-1]}" "${r_local[-1]}" "${r_durable[-1]}" "$peak"
  printf 'cp -r %.3f s (floor %.3f: fdatasync %s ms + commit %s ms a file)  all uploaded after %.3f s (%s files/s)\n' \
    "$t_cp" "$floor" "${s_fsync[-1]}" "${s_commit[-1]}" "$t_all" "${per_second[-1]}"
done

echo "== mount_write: ${size_mib} MiB file, $files files of 4 KiB, $rounds rounds, best / median"
echo "tidewright put $(best_median high %.0f "${r_put[@]}") MB/s   dd onto the mount and upload $(best_median high %.0f "${r_written[@]}") MB/s"
echo "dd onto the mount $(best_median high %.0f "${r_dd[@]}") MB/s   dd into a local file $(best_median high %.0f "${r_local[@]}") MB/s   with conv=fdatasync $(best_median high %.0f "${r_durable[@]}") MB/s"
echo "cp -r $(best_median low %.3f "${cp_seconds[@]}") s against the floor $(best_median low %.3f "${floors[@]}") s ($files x (fdatasync $(best_median low %.3f "${s_fsync[@]}") ms + journal commit $(best_median low %.3f "${s_commit[@]}") ms))"
result "mount-write dd-and-upload/put (durable local dd then put: $(best_median high %.2f "${written_bound[@]}"))" ">=" 0.7 "${written[@]}"
result "mount-write dd/local-dd (durable local dd: $(best_median high %.2f "${dd_bound[@]}"))" ">=" 0.5 "${dd_alone[@]}"
# 2 s for 1,000 files, in proportion for another number.
result "mount-write cp-r-seconds (floor $(best_median low %.2f "${floors[@]}") s)" "<=" \
  "$(awk -v n="$files" 'BEGIN {print 2 * n / 1000}')" "${cp_seconds[@]}"
result "mount-write cp-r-uploaded-files-per-s" ">=" 100 "${per_second[@]}"
result "mount-write peak-RSS-MiB" "<=" 64 "${peaks[@]}"
