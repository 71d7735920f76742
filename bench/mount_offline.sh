#!/usr/bin/env bash
# The mount without the service against the mount with it: listing a tree and reading cached files, side by
# side in every round, on loopback.
#
#   bench/mount_offline.sh [BUILD_DIR]   (default: build-bench; needs tidewright and tidewright-server built
#                                         there, and /dev/fuse)
#
# 1. A server with an empty data folder; a tree of TW_BENCH_FOLDERS folders (default 10) of
#    TW_BENCH_FOLDER_FILES files (default 30) of 4 KiB each, copied onto a mount and uploaded; then a mount
#    that lists the whole tree (`ls -lR`) and reads TW_BENCH_CACHED files (default 20) of it, so that the
#    state file holds every listing and the cache those files.
# 2. TW_BENCH_ROUNDS rounds (default 5), each taking turns at which goes first:
#    - online: the server up, a mount on that state and cache, once its first sync is done: `ls -lR` of the
#      tree (the first, which asks the mount for every entry), then `cat` of the cached files;
#    - offline: the server stopped, a mount on the same state and cache, once `tidewright status` says
#      "service: offline": the same two steps.
#    Each mount is made for its round alone, so that the kernel has nothing of it cached.
# 3. Prints every round, then best and median of offline/online for each step, with the goal: offline no
#    slower than online, within 10 % (the ratio of times at most 1.1). Goals that are not met never fail the
#    script.
# Everything lives in a fresh temporary folder that is removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
folders=${TW_BENCH_FOLDERS:-10}
per_folder=${TW_BENCH_FOLDER_FILES:-30}
cached=${TW_BENCH_CACHED:-20}
rounds=${TW_BENCH_ROUNDS:-5}
token=bench-token
# shellcheck source=support/figures.sh
source "$here/support/figures.sh"
# shellcheck source=support/mount_bench.sh
source "$here/support/mount_bench.sh"
mount_bench_setup mount_offline.sh "$build"
mkdir -p "$work/tree"

# TEXT: waits (at most 60 s) until `tidewright status` prints a line that starts with TEXT.
wait_status() {
  for _ in $(seq 1 600); do
    "$client" status 2>/dev/null | grep -q "^$1" && return 0
    sleep 0.1
  done
  echo "mount_offline.sh: the mount never said \"$1\": $("$client" status 2>&1 | head -3)" >&2
  exit 1
}

echo "== mount_offline: a tree of $folders folders of $per_folder files of 4 KiB; $cached of them read before"
for f in $(seq 1 "$folders"); do
  mkdir -p "$work/tree/folder-$f"
  head -c $((per_folder * 4096)) /dev/urandom | (cd "$work/tree/folder-$f" && split -b 4096 -a 4 -d - file-)
done
start_server 127.0.0.1:0 "$token"
listen=${base#http://}
umask 077
printf '{"base":"%s","token":"%s"}\n' "$base" "$token" > "$work/domain.json"
export TIDEWRIGHT_CONFIG="$work/domain.json" XDG_CACHE_HOME="$work/cache" XDG_STATE_HOME="$work/state" \
  XDG_RUNTIME_DIR="$work/run"
mount_here
cp -r "$work/tree" "$mnt/tree"
"$client" status --wait 300 > /dev/null || { echo "mount_offline.sh: the tree was not uploaded" >&2; exit 1; }
unmount
# A run that lists the tree and reads the files to be read cached; its unmount saves the listings.
mapfile -t reads < <(cd "$work/tree" && find . -type f | sort | awk -v n="$cached" -v all=$((folders * per_folder)) \
  'NR % int(all / n) == 1 && c < n {print; c++}')
mount_here
wait_status "last sync: 2"
ls -lR "$mnt/tree" > /dev/null
for file in "${reads[@]}"; do cmp -s "$mnt/tree/$file" "$work/tree/$file" || { echo "mount_offline.sh: $file differs" >&2; exit 1; }; done
unmount

read_cached() {
  for file in "${reads[@]}"; do cat "$mnt/tree/$file"; done
}
# online|offline: one mount's two timed steps into t_list and t_read.
measure() {
  if [ "$1" = online ]; then
    [ -n "$server_pid" ] || start_server "$listen" "$token"
    mount_here
    wait_status "last sync: 2"
  else
    stop_server
    mount_here
    wait_status "service: offline"
  fi
  t_list=$(seconds ls -lR "$mnt/tree")
  [ "$(ls -R "$mnt/tree" | grep -c '^file-')" = $((folders * per_folder)) ] ||
    { echo "mount_offline.sh: the $1 mount lists another tree" >&2; exit 1; }
  t_read=$(seconds read_cached)
  unmount
}

list_ratios=() read_ratios=() lists_on=() lists_off=() reads_on=() reads_off=()
for round in $(seq 1 "$rounds"); do
  if [ $((round % 2)) = 1 ]; then order="online offline"; else order="offline online"; fi
  for mode in $order; do
    measure "$mode"
    if [ "$mode" = online ]; then on_list=$t_list on_read=$t_read; else off_list=$t_list off_read=$t_read; fi
  done
  lists_on+=("$on_list") lists_off+=("$off_list") reads_on+=("$on_read") reads_off+=("$off_read")
  list_ratios+=("$(ratio "$off_list" "$on_list")") read_ratios+=("$(ratio "$off_read" "$on_read")")
  printf 'round %d (%s first): ls -lR online %.3f s, offline %.3f s; %d cached reads online %.3f s, offline %.3f s\n' \
    "$round" "${order%% *}" "$on_list" "$off_list" "$cached" "$on_read" "$off_read"
done

echo "ls -lR (s, best / median): online $(best_median low %.3f "${lists_on[@]}"), offline $(best_median low %.3f "${lists_off[@]}")"
echo "cached reads (s, best / median): online $(best_median low %.3f "${reads_on[@]}"), offline $(best_median low %.3f "${reads_off[@]}")"
result "mount_offline_list_offline_over_online" "<=" 1.1 "${list_ratios[@]}"
result "mount_offline_read_offline_over_online" "<=" 1.1 "${read_ratios[@]}"
