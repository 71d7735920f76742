#!/usr/bin/env bash
# A pinned folder downloading in the background against `tidewright get` of one file of the same size, side
# by side in every round, on loopback.
#
#   bench/mount_pin.sh [BUILD_DIR]   (default: build-bench; needs tidewright and tidewright-server built there,
#                                     and /dev/fuse)
#
# 1. A server with an empty data folder holding a folder of TW_BENCH_PIN_FILES files (default 100) of
#    TW_BENCH_PIN_MIB MiB in all (default 1024), and one file of that size, put there with `tidewright put`.
# 2. TW_BENCH_ROUNDS rounds (default 3), each taking turns at which goes first:
#    - get: `tidewright get` of the one file into a fresh file;
#    - pin: a mount on an empty cache and state, once its first sync is done, `tidewright pin` of the folder,
#      timed until `tidewright status --json` says the pins are complete with every byte present.
# 3. Prints every round, then best and median of the pin's rate over get's, with the goal: at least 0.8.
#    Goals that are not met never fail the script.
# Everything lives in a fresh temporary folder that is removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
files=${TW_BENCH_PIN_FILES:-100}
total_mib=${TW_BENCH_PIN_MIB:-1024}
rounds=${TW_BENCH_ROUNDS:-3}
token=bench-token
# shellcheck source=support/figures.sh
source "$here/support/figures.sh"
# shellcheck source=support/mount_bench.sh
source "$here/support/mount_bench.sh"
mount_bench_setup mount_pin.sh "$build" python3

start_server 127.0.0.1:0 "$token"
umask 077
printf '{"base":"%s","token":"%s"}\n' "$base" "$token" > "$work/domain.json"
export TIDEWRIGHT_CONFIG="$work/domain.json" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$work/run"

echo "== mount_pin: a folder of $files files, $total_mib MiB in all, against one file of $total_mib MiB"
piece=$((total_mib * 1024 / files))  # KiB
folder=$("$client" --json mkdir root pinned | python3 -c 'import json,sys; print(json.load(sys.stdin)["id"])')
for i in $(seq 1 "$files"); do
  head -c $((piece * 1024)) /dev/urandom > "$work/piece"
  "$client" put "$folder" "$work/piece" --name "file-$i.bin" > /dev/null
done
head -c $((total_mib * 1048576)) /dev/urandom > "$work/whole"
whole=$("$client" --json put root "$work/whole" --name whole.bin | python3 -c 'import json,sys; print(json.load(sys.stdin)["id"])')
rm -f "$work/whole" "$work/piece"
bytes=$((files * piece * 1024))

get_whole() {
  rm -f "$work/got"
  "$client" get "$whole" "$work/got"
}
# Waits until the mount says every pinned byte is present: one python asking `status` every 50 ms, so that
# the polling takes little of the CPU the pins download with.
pins_complete() {
  python3 - "$client" <<'PY' || { echo "mount_pin.sh: the pins never completed" >&2; return 1; }
import json, subprocess, sys, time
for _ in range(36000):
    answer = subprocess.run([sys.argv[1], "status", "--json"], capture_output=True, text=True)
    try:
        p = json.loads(answer.stdout).get("pinned", {})
    except ValueError:
        p = {}
    if p.get("complete") and p.get("files") and p["presentBytes"] == p["pinnedBytes"]:
        sys.exit(0)
    time.sleep(0.05)
sys.exit(1)
PY
}
# The mount on an empty cache and state, then the pin timed until complete, into t_pin.
measure_pin() {
  rm -rf "$work/cache" "$work/state"
  mount_here XDG_CACHE_HOME="$work/cache" XDG_STATE_HOME="$work/state"
  for _ in $(seq 1 200); do "$client" status 2>/dev/null | grep -q '^last sync: 2' && break; sleep 0.05; done
  local start=$EPOCHREALTIME
  "$client" pin "$mnt/pinned"
  pins_complete
  t_pin=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.6f", b - a}')
  unmount
}

ratios=() gets=() pins=()
for round in $(seq 1 "$rounds"); do
  if [ $((round % 2)) = 1 ]; then order="get pin"; else order="pin get"; fi
  for step in $order; do
    if [ "$step" = get ]; then
      fresh_memory "$total_mib" "$work"
      t_get=$(seconds get_whole)
    else
      fresh_memory "$total_mib" "$work"
      measure_pin
    fi
  done
  gets+=("$(rate "$bytes" "$t_get")") pins+=("$(rate "$bytes" "$t_pin")")
  ratios+=("$(ratio "$t_get" "$t_pin")")
  printf 'round %d (%s first): get %.2f s (%s MB/s), pin %.2f s (%s MB/s)\n' "$round" "${order%% *}" \
    "$t_get" "$(rate "$bytes" "$t_get")" "$t_pin" "$(rate "$bytes" "$t_pin")"
done
echo "rates (MB/s, best / median): get $(best_median high %.0f "${gets[@]}"), pin $(best_median high %.0f "${pins[@]}")"
result "mount_pin_rate_over_get" ">=" 0.8 "${ratios[@]}"
