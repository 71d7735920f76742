#!/usr/bin/env bash
# Downloads and ranged reads of the command-line host against curl, side by side in one run, on loopback.
#
#   bench/content.sh [BUILD_DIR]     (default: build; needs tidewright and tidewright-server built there)
#
# 1. Makes a file of TW_BENCH_SIZE_MIB MiB (default 1024) of random bytes and stores it in tidewright-server.
# 2. TW_BENCH_RUNS times (default 3), alternating: `curl -o` of the download address, `tidewright get`,
#    `tidewright cat > file`, one partial fetch of 32 MiB (parallel pieces) timed alone in the extension
#    (bench/partial_fetch.cpp: open and connections made first) and `curl -r` of the same 32 MiB. The rates
#    of get and cat count the whole command (process start and the open request included).
# 3. Prints the best rate of each, the ratios (goals: get >= 1.5 x curl, cat >= 0.7 x get, read >= 1.5 x
#    curl's range) and peak resident memory (/usr/bin/time): get of the big file against get of a 1-byte
#    file (goal: at most 16 MiB more), the 32 MiB partial fetch (goal: about twice the range at most).
# Everything lives in a fresh temporary folder that is removed at the end.
set -euo pipefail

build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
case $build in /*) ;; *) build=$root/$build ;; esac
server_bin=$build/apps/tidewright-server/tidewright-server
client=$build/apps/tidewright/tidewright
partial=$build/bench/partial_fetch
size_mib=${TW_BENCH_SIZE_MIB:-1024}
runs=${TW_BENCH_RUNS:-3}
token=bench-token
for binary in "$server_bin" "$client" "$partial" /usr/bin/time; do
  [ -x "$binary" ] || { echo "content.sh: $binary not found" >&2; exit 1; }
done

work=$(mktemp -d /tmp/tw-bench-content.XXXXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== content: making a ${size_mib} MiB file"
head -c $((size_mib * 1048576)) /dev/urandom > "$work/big.bin"
printf x > "$work/one.bin"
"$server_bin" --data "$work/data" --token "$token" > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/server.out" ] && break; sleep 0.1; done
base=$(head -1 "$work/server.out")
[ -n "$base" ] || { echo "content.sh: the server did not start: $(cat "$work/server.err")" >&2; exit 1; }
auth=(-H "Authorization: Bearer $token")
store() {
  curl -sf "${auth[@]}" -X POST -H "Content-Type: application/octet-stream" -T "$1" \
    "$base/api/v1/files?name=$(basename "$1")&conflict=fail" | grep -o '"id":"[^"]*"' | head -1 | cut -d'"' -f4
}
big=$(store "$work/big.bin")
one=$(store "$work/one.bin")
address() { curl -sf "${auth[@]}" -X POST "$base/api/v1/nodes/$1/open" | grep -o '"url":"[^"]*"' | cut -d'"' -f4; }

umask 077
printf '{"base":"%s","token":"%s"}\n' "$base" "$token" > "$work/domain.json"
export TIDEWRIGHT_CONFIG="$work/domain.json" XDG_CACHE_HOME="$work/cache"
bytes=$((size_mib * 1048576))
range=$((32 * 1048576))

# Runs a command, prints "SECONDS PEAK_RSS_KIB".
measure() { /usr/bin/time -f '%e %M' -o "$work/time" "$@" > /dev/null; cat "$work/time"; }
rate() { awk -v b="$1" -v s="$2" 'BEGIN {printf "%.0f", (s > 0 ? b / s : 0)}'; }
best() { printf '%s\n' "$@" | sort -g | tail -1; }

curl_rates=(); get_rates=(); cat_rates=(); read_rates=(); curl_range_rates=(); get_rss=(); read_rss=()
for i in $(seq 1 "$runs"); do
  url="$base$(address "$big")"
  curl_rates+=("$(curl -sf -o "$work/curl.bin" -w '%{speed_download}' "$url")")
  rm -f "$work/curl.bin"; sync
  read -r s rss < <(measure "$client" get --force "$big" "$work/get.bin")
  get_rates+=("$(rate "$bytes" "$s")"); get_rss+=("$rss")
  rm -f "$work/get.bin"; sync
  read -r s _ < <(measure sh -c "'$client' cat '$big' > '$work/cat.bin'")
  cat_rates+=("$(rate "$bytes" "$s")")
  rm -f "$work/cat.bin"; sync
  /usr/bin/time -f '%M' -o "$work/time" "$partial" "$base" "$token" "$big" 0 "$range" > "$work/partial"
  read -r s _ < "$work/partial"
  read_rates+=("$(rate "$range" "$s")"); read_rss+=("$(cat "$work/time")")
  curl_range_rates+=("$(curl -sf -o "$work/range.bin" -r "0-$((range - 1))" -w '%{speed_download}' "$url")")
  rm -f "$work/range.bin"
done
read -r _ small_rss < <(measure "$client" get --force "$one" "$work/one.got")

c=$(best "${curl_rates[@]}"); g=$(best "${get_rates[@]}"); k=$(best "${cat_rates[@]}")
r=$(best "${read_rates[@]}"); cr=$(best "${curl_range_rates[@]}")
g_rss=$(printf '%s\n' "${get_rss[@]}" | sort -g | tail -1); r_rss=$(printf '%s\n' "${read_rss[@]}" | sort -g | tail -1)
echo "== content: ${size_mib} MiB over loopback, best of $runs"
awk -v c="$c" -v g="$g" -v k="$k" -v r="$r" -v cr="$cr" 'BEGIN {
  printf "curl -o: %.0f MB/s   tidewright get: %.0f MB/s   tidewright cat: %.0f MB/s\n", c/1e6, g/1e6, k/1e6
  printf "32 MiB: one partial fetch %.0f MB/s   curl -r %.0f MB/s\n", r/1e6, cr/1e6 }'
awk -v c="$c" -v g="$g" -v k="$k" -v r="$r" -v cr="$cr" -v gr="$g_rss" -v sr="$small_rss" -v rr="$r_rss" 'BEGIN {
  printf "RESULT content get/curl %.2f (goal >= 1.5)\n", g/c
  printf "RESULT content cat/get %.2f (goal >= 0.7)\n", k/g
  printf "RESULT content partial32MiB/curl-range %.2f (goal >= 1.5)\n", r/cr
  printf "RESULT content get peak RSS %.1f MiB, %.1f MiB above a 1-byte get (goal <= 16)\n", gr/1024, (gr-sr)/1024
  printf "RESULT content partial32MiB peak RSS %.1f MiB, %.1f MiB above a 1-byte get (goal about <= 64)\n", rr/1024, (rr-sr)/1024 }'
