#!/usr/bin/env bash
# Downloads and ranged reads of the command-line host against what bounds them on this machine, measured
# side by side in every round, on loopback.
#
#   bench/content.sh [BUILD_DIR]   (default: build-bench; needs tidewright, tidewright-server and
#                                   bench/partial_fetch built there)
#
# 1. Makes a file of TW_BENCH_SIZE_MIB MiB (default 1024) of random bytes and stores it in tidewright-server.
# 2. TW_BENCH_ROUNDS rounds (default 5), each on a fresh download address. The four whole-file steps take
#    turns at going first; every file they write is removed, and synced before the next step writes:
#    - `curl -o /dev/null` of the address: one loopback stream with nothing to write (a ceiling);
#    - `dd bs=1M` of as many bytes into a new file in the destination folder: what the page cache takes
#      (the other ceiling);
#    - `curl -o FILE` of the address;
#    - `tidewright get --force ID FILE`: the whole command (process start, the open request, the download,
#      the move into place);
#    each step that writes starts with fresh memory for its file (support/figures.sh: fresh_memory says why);
#    then one 32 MiB partial fetch timed alone in the extension (bench/partial_fetch: the address opened and
#    the connections made first) and `curl -r` of the same 32 MiB.
# 3. Prints every round, then the ratios of each round's figures, best and median over the rounds, with their
#    goals: get at least 0.9x the lower ceiling and at least 1x `curl -o FILE`; the partial fetch at least
#    1.2x `curl -r`. A goal is met when the median meets it. Then peak resident memory (/usr/bin/time): get
#    of the big file against get of a 1-byte file (goal: at most 16 MiB more), the 32 MiB partial fetch
#    (goal: about twice the range at most).
# 4. `tidewright cat` of the file once, compared byte for byte with it: a tool for trying ranged reads, with no
#    goal of its own. A difference ends the script with status 1; goals that are not met never do.
# Everything lives in a fresh temporary folder that is removed at the end.
set -euo pipefail

build=${1:-build-bench}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
case $build in /*) ;; *) build=$root/$build ;; esac
server_bin=$build/apps/tidewright-server/tidewright-server
client=$build/apps/tidewright/tidewright
partial=$build/bench/partial_fetch
size_mib=${TW_BENCH_SIZE_MIB:-1024}
rounds=${TW_BENCH_ROUNDS:-5}
token=bench-token
for binary in "$server_bin" "$client" "$partial" /usr/bin/time; do
  [ -x "$binary" ] || { echo "content.sh: $binary not found (make bench-build)" >&2; exit 1; }
done
# shellcheck source=support/figures.sh
source "$here/support/figures.sh"

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

# The whole-file steps of a round; each sets its time in seconds (and get its peak RSS in KiB). Each step
# that writes starts with what the steps before it wrote flushed, and with fresh memory for its file.
url=""
step_null() { t_null=$(seconds curl -sf -o /dev/null "$url"); }
step_dd() {
  sync; fresh_memory "$size_mib" "$work"
  t_dd=$(seconds dd if=/dev/zero of="$work/dd.bin" bs=1M count="$size_mib" status=none)
  rm -f "$work/dd.bin"
}
step_file() {
  sync; fresh_memory "$size_mib" "$work"
  t_file=$(seconds curl -sf -o "$work/curl.bin" "$url")
  rm -f "$work/curl.bin"
}
step_get() {
  sync; fresh_memory "$size_mib" "$work"
  t_get=$(seconds /usr/bin/time -f '%M' -o "$work/rss" "$client" get --force "$big" "$work/get.bin")
  get_rss+=("$(cat "$work/rss")")
  rm -f "$work/get.bin"
}
steps=(null dd file get)

ceiling=(); versus_file=(); versus_range=(); r_null=(); r_dd=(); r_file=(); r_get=(); r_read=(); r_range=()
get_rss=(); read_rss=()
for round in $(seq 1 "$rounds"); do
  url="$base$(address "$big")"
  for k in 0 1 2 3; do "step_${steps[$(((round - 1 + k) % 4))]}"; done
  sync; fresh_memory 32 "$work"
  /usr/bin/time -f '%M' -o "$work/rss" "$partial" "$base" "$token" "$big" 0 "$range" > "$work/partial"
  read -r t_read _ < "$work/partial"
  read_rss+=("$(cat "$work/rss")")
  # curl's own timing, from its start of the transfer: the partial fetch's excludes process start too.
  fresh_memory 32 "$work"
  range_rate=$(curl -sf -o "$work/range.bin" -r "0-$((range - 1))" -w '%{speed_download}' "$url")
  rm -f "$work/range.bin"
  r_null+=("$(rate "$bytes" "$t_null")"); r_dd+=("$(rate "$bytes" "$t_dd")")
  r_file+=("$(rate "$bytes" "$t_file")"); r_get+=("$(rate "$bytes" "$t_get")")
  r_read+=("$(rate "$range" "$t_read")"); r_range+=("$(rate "$range_rate" 1)")
  # The lower ceiling is the slower of the two: its time is the longer.
  ceiling+=("$(ratio "$(awk -v a="$t_null" -v b="$t_dd" 'BEGIN {print (a > b ? a : b)}')" "$t_get")")
  versus_file+=("$(ratio "$t_file" "$t_get")")
  versus_range+=("$(ratio "$(ratio "$range" "$t_read")" "$range_rate")")
  printf 'round %d (MB/s): curl -o /dev/null %s  dd %s  curl -o FILE %s  get %s  |  32 MiB: partial fetch %s  curl -r %s\n' \
    "$round" "${r_null[-1]}" "${r_dd[-1]}" "${r_file[-1]}" "${r_get[-1]}" "${r_read[-1]}" "${r_range[-1]}"
done
/usr/bin/time -f '%M' -o "$work/rss" "$client" get --force "$one" "$work/one.got" > /dev/null
small_rss=$(cat "$work/rss")

echo "== content: ${size_mib} MiB over loopback, $rounds rounds, best / median"
echo "curl -o /dev/null $(best_median high %.0f "${r_null[@]}") MB/s   dd into a file $(best_median high %.0f "${r_dd[@]}") MB/s"
echo "curl -o FILE $(best_median high %.0f "${r_file[@]}") MB/s   tidewright get $(best_median high %.0f "${r_get[@]}") MB/s"
echo "32 MiB: one partial fetch $(best_median high %.0f "${r_read[@]}") MB/s   curl -r $(best_median high %.0f "${r_range[@]}") MB/s"
result "content get/min(curl-devnull,dd-file)" ">=" 0.9 "${ceiling[@]}"
result "content get/curl-file" ">=" 1.0 "${versus_file[@]}"
result "content partial32MiB/curl-range" ">=" 1.2 "${versus_range[@]}"
g_rss=$(printf '%s\n' "${get_rss[@]}" | sort -g | tail -1); p_rss=$(printf '%s\n' "${read_rss[@]}" | sort -g | tail -1)
awk -v g="$g_rss" -v s="$small_rss" -v p="$p_rss" 'BEGIN {
  printf "RESULT content get peak RSS %.1f MiB, %.1f MiB above a 1-byte get (goal <= 16: %s)\n", g/1024, (g-s)/1024, ((g-s)/1024 <= 16 ? "met" : "not met")
  printf "RESULT content partial32MiB peak RSS %.1f MiB (goal about <= 64: %s)\n", p/1024, (p/1024 <= 64 ? "met" : "not met") }'

t_cat=$(seconds sh -c "'$client' cat '$big' > '$work/cat.bin'")
if cmp -s "$work/cat.bin" "$work/big.bin"; then
  echo "RESULT content cat $(rate "$bytes" "$t_cat") MB/s, the file's bytes (no goal)"
else
  echo "RESULT content cat: its output differs from the file" >&2
  exit 1
fi
