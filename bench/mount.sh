#!/usr/bin/env bash
# The mount against what bounds it on this machine, measured side by side in every round, on loopback.
#
#   bench/mount.sh [BUILD_DIR]   (default: build-bench; needs tidewright, tidewright-server and
#                                 bench/passthrough_fs built there, and /dev/fuse; run as root)
#
# 1. A server seeded with a folder "Bulk" of TW_BENCH_CHILDREN empty files (default 10,000) holding a file of
#    TW_BENCH_SIZE_MIB MiB (default 1024) of random bytes.
# 2. TW_BENCH_ROUNDS rounds (default 5), each:
#    - `ls -l` of a local folder of as many empty files, and `tidewright ls` of "Bulk";
#    - `tidewright get` of the file (the whole command);
#    - a fresh mount with an empty cache: `ls -l` of "Bulk" twice (first, second), then `dd bs=1M` of the
#      file (the cold read, fetched as it is read);
#    - the warm read: `dd` of the file through the mount mounted again on the cache the cold read filled,
#      against `dd` of its cache file through bench/passthrough_fs (a trivial FUSE passthrough of the cache
#      folder that serves reads as the mount does, with the same kernel read-ahead), in turns at going first,
#      each with the page cache dropped before it (as root), so that both read the cache file from the disk;
#      and `dd` of the cache file itself, for reference;
#    every step that fills the page cache starts with fresh memory for it (support/figures.sh: fresh_memory).
# 3. Prints every round, then the ratios of each round's figures, best and median over the rounds, with their
#    goals: cold read at least 0.8x `tidewright get`; warm read at least 0.8x the passthrough; the first
#    `ls -l` at most 1.5x (`tidewright ls` + the local `ls -l`), the second at most 1.5x the local `ls -l`.
#    A goal is met when the median meets it; goals that are not met never fail the script.
# Everything lives in a fresh temporary folder that is removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
server_bin=$build/apps/tidewright-server/tidewright-server
client=$build/apps/tidewright/tidewright
passthrough=$build/bench/passthrough_fs
size_mib=${TW_BENCH_SIZE_MIB:-1024}
children=${TW_BENCH_CHILDREN:-10000}
rounds=${TW_BENCH_ROUNDS:-5}
token=bench-token
for binary in "$server_bin" "$client" "$passthrough" fusermount3 mountpoint; do
  command -v "$binary" > /dev/null || { echo "mount.sh: $binary not found (make bench-build)" >&2; exit 1; }
done
# shellcheck source=support/figures.sh
source "$here/support/figures.sh"

work=$(mktemp -d /tmp/tw-bench-mount.XXXXXX)
mnt=$work/mnt
reference=$work/passthrough
server_pid=""
passthrough_pid=""
# The mount runs in the foreground of a background job, so that a remount waits until the last mount has
# ended and written its state: a mount that starts while the last one still writes its cache's records finds
# them incomplete.
mount_pid=""
unmount() {
  [ -n "$mount_pid" ] || return 0
  fusermount3 -u -q "$mnt" 2>/dev/null || true
  wait "$mount_pid" || true
  mount_pid=""
}
cleanup() {
  unmount
  fusermount3 -u -q "$reference" 2>/dev/null || true
  [ -n "$passthrough_pid" ] && wait "$passthrough_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt" "$reference"

echo "== mount: making a ${size_mib} MiB file and a folder of $children children"
head -c $((size_mib * 1048576)) /dev/urandom > "$work/big.bin"
"$server_bin" --data "$work/data" --token "$token" --seed-bulk "$children" > "$work/server.out" \
  2> "$work/server.err" &
server_pid=$!
for _ in $(seq 1 600); do [ -s "$work/server.out" ] && break; sleep 0.1; done
base=$(head -1 "$work/server.out")
[ -n "$base" ] || { echo "mount.sh: the server did not start: $(cat "$work/server.err")" >&2; exit 1; }
umask 077
printf '{"base":"%s","token":"%s"}\n' "$base" "$token" > "$work/domain.json"
export TIDEWRIGHT_CONFIG="$work/domain.json" XDG_CACHE_HOME="$work/cache" XDG_STATE_HOME="$work/state"
bulk=$("$client" --json ls root | grep '"filename":"Bulk"' | grep -o '"id":"[^"]*"' | head -1 | cut -d'"' -f4)
[ -n "$bulk" ] || { echo "mount.sh: no folder Bulk" >&2; exit 1; }
curl -sf -H "Authorization: Bearer $token" -X POST -H "Content-Type: application/octet-stream" \
  -T "$work/big.bin" "$base/api/v1/files?name=big.bin&parent=$bulk&conflict=fail" > "$work/stored"
big=$(grep -o '"id":"[^"]*"' "$work/stored" | head -1 | cut -d'"' -f4)
rm "$work/big.bin"
bytes=$((size_mib * 1048576))

drop_page_cache() {
  sync
  if [ "$(id -u)" = 0 ]; then echo 3 > /proc/sys/vm/drop_caches; else echo "mount.sh: not root, the page cache stays" >&2; fi
}
fresh_mount() {
  unmount
  [ "${1:-}" = cold ] && rm -rf "$work/cache" "$work/state"
  "$client" mount -f "$mnt" 2>> "$work/mount.err" &
  mount_pid=$!
  for _ in $(seq 1 200); do mountpoint -q "$mnt" && return 0; kill -0 "$mount_pid" 2>/dev/null || break; sleep 0.05; done
  echo "mount.sh: the mount did not come up: $(tail -5 "$work/mount.err")" >&2
  exit 1
}
# The kernel's read-ahead of a FUSE mount (KiB), from its device's sysfs entry.
read_ahead_file() { echo "/sys/class/bdi/$(mountpoint -d "$1")/read_ahead_kb"; }
# The passthrough over the cache folder, reading ahead as far as the mount does (it raises its own as root).
mount_passthrough() {
  "$passthrough" "$work/cache" "$reference" &
  passthrough_pid=$!
  for _ in $(seq 1 100); do mountpoint -q "$reference" && break; sleep 0.05; done
  mountpoint -q "$reference" || { echo "mount.sh: the passthrough did not mount" >&2; exit 1; }
  if [ "$(id -u)" = 0 ]; then cat "$(read_ahead_file "$mnt")" > "$(read_ahead_file "$reference")"; fi
}
unmount_passthrough() {
  fusermount3 -u "$reference"
  wait "$passthrough_pid"
  passthrough_pid=""
}
# A read through FUSE fills two page caches, the FUSE file's and the source file's: fresh memory for both.
warm_mount() {
  drop_page_cache; fresh_memory $((2 * size_mib)) "$work"
  t_warm=$(seconds dd if="$mnt/Bulk/big.bin" of=/dev/null bs=1M status=none)
}
warm_passthrough() {
  drop_page_cache; fresh_memory $((2 * size_mib)) "$work"
  t_pass=$(seconds dd if="$reference/$cached" of=/dev/null bs=1M status=none)
}

mkdir "$work/local"
(cd "$work/local" && seq -f "file-%05g" 1 "$children" | xargs touch)
ls -l "$work/local" > /dev/null
cold=(); warm=(); first=(); second=(); r_get=(); r_cold=(); r_warm=(); r_pass=(); r_file=()
for round in $(seq 1 "$rounds"); do
  t_local=$(seconds ls -l "$work/local")
  t_ls=$(seconds "$client" ls "$bulk")
  sync; fresh_memory "$size_mib" "$work"
  t_get=$(seconds "$client" get --force "$big" "$work/got.bin")
  rm -f "$work/got.bin"
  fresh_mount cold
  t_first=$(seconds ls -l "$mnt/Bulk")
  t_second=$(seconds ls -l "$mnt/Bulk")
  sync; fresh_memory $((2 * size_mib)) "$work"
  t_cold=$(seconds dd if="$mnt/Bulk/big.bin" of=/dev/null bs=1M status=none)
  fresh_mount
  # The cache file of the big file, the only one of its size, as a path below the cache folder.
  cached=$(cd "$work/cache" && find . -type f -size "${bytes}c" | head -1)
  [ -n "$cached" ] || { echo "mount.sh: no cache file of $bytes bytes after the cold read" >&2; exit 1; }
  mount_passthrough
  if [ $((round % 2)) = 1 ]; then warm_mount; warm_passthrough; else warm_passthrough; warm_mount; fi
  unmount_passthrough
  drop_page_cache; fresh_memory "$size_mib" "$work"
  t_file=$(seconds dd if="$work/cache/$cached" of=/dev/null bs=1M status=none)

  cold+=("$(ratio "$t_get" "$t_cold")"); warm+=("$(ratio "$t_pass" "$t_warm")")
  first+=("$(ratio "$t_first" "$(awk -v a="$t_ls" -v b="$t_local" 'BEGIN {print a + b}')")")
  second+=("$(ratio "$t_second" "$t_local")")
  r_get+=("$(rate "$bytes" "$t_get")"); r_cold+=("$(rate "$bytes" "$t_cold")")
  r_warm+=("$(rate "$bytes" "$t_warm")"); r_pass+=("$(rate "$bytes" "$t_pass")"); r_file+=("$(rate "$bytes" "$t_file")")
  printf 'round %d (MB/s): get %s  cold %s  warm %s  passthrough %s  cache file %s  |  ' "$round" "${r_get[-1]}" \
    "${r_cold[-1]}" "${r_warm[-1]}" "${r_pass[-1]}" "${r_file[-1]}"
  printf '(s) ls local %.3f  tidewright ls %.3f  first %.3f  second %.3f\n' "$t_local" "$t_ls" "$t_first" "$t_second"
done
unmount

echo "== mount: ${size_mib} MiB file, $children children, $rounds rounds, best / median"
echo "tidewright get $(best_median high %.0f "${r_get[@]}") MB/s   dd cold $(best_median high %.0f "${r_cold[@]}") MB/s"
echo "dd warm $(best_median high %.0f "${r_warm[@]}") MB/s   dd through the passthrough $(best_median high %.0f "${r_pass[@]}") MB/s   dd of the cache file $(best_median high %.0f "${r_file[@]}") MB/s"
result "mount cold-read/get" ">=" 0.8 "${cold[@]}"
result "mount warm-read/passthrough" ">=" 0.8 "${warm[@]}"
result "mount first-ls/(tidewright-ls+local-ls)" "<=" 1.5 "${first[@]}"
result "mount second-ls/local-ls" "<=" 1.5 "${second[@]}"
