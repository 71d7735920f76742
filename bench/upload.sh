#!/usr/bin/env bash
# The client's upload against curl, to tidewright-server on loopback, side by side in one run.
#
#   bench/upload.sh [BUILD_DIR]      (default: build-bench; needs tidewright-server, tidewright, upload_bench)
#
# A file of TW_BENCH_UPLOAD_MIB MiB (default 1024, pseudo-random bytes) is sent TW_BENCH_UPLOAD_RUNS times
# (default 3) each way, the three taking turns: `curl --upload-file` to the direct upload path (one streamed
# POST /api/v1/files: the baseline); `tidewright put root FILE`, the host command (process start, the
# extension's item creation, the multipart upload: 8 MiB parts, four in flight, then complete); and
# upload_bench, which makes the same Remote::upload alone and times its phases. Each upload goes to a fresh
# server with an empty data folder. Prints the median rates, the ratio of put to curl (goal: at least 1.0)
# and put's peak resident size (goal: at most 4 part buffers + 16 MiB = 48 MiB). Needs twice the file's size
# free in /tmp.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
server_bin=$build/apps/tidewright-server/tidewright-server
driver=$build/bench/upload_bench
client=$build/apps/tidewright/tidewright
mib=${TW_BENCH_UPLOAD_MIB:-1024}
runs=${TW_BENCH_UPLOAD_RUNS:-3}
export TW_BENCH_TOKEN=bench-token

for binary in "$server_bin" "$driver" "$client" /usr/bin/time; do
  if [ ! -x "$binary" ]; then
    echo "upload.sh: $binary not found; build with -DTW_BENCH=ON first (make bench)" >&2
    exit 1
  fi
done
command -v curl >/dev/null || { echo "upload.sh: curl is missing (apt-get install curl)" >&2; exit 1; }

work=$(mktemp -d /tmp/tw-upload-bench.XXXXXX)
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
  rm -rf "$work/data"
}
trap 'stop_server; rm -rf "$work"' EXIT

# Starts a server on a fresh data folder; sets server_pid and base.
start_server() {
  local waited=0
  "$server_bin" --data "$work/data" --token "$TW_BENCH_TOKEN" >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  base=""
  while [ -z "$base" ]; do
    if ! kill -0 "$server_pid" 2>/dev/null || [ "$waited" -ge 100 ]; then
      echo "upload.sh: the server did not start:" >&2
      cat "$work/server.err" >&2
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
    base=$(head -n 1 "$work/server.out" 2>/dev/null || true)  # not there yet while the server starts
  done
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

file=$work/upload.bin
head -c "$((mib * 1048576))" /dev/urandom >"$file"
bytes=$(stat -c %s "$file")
cat "$file" >/dev/null  # both read it from the page cache
echo "== uploading $mib MiB to tidewright-server on loopback ($runs runs each way, alternating)"

curl_rates=() put_rates=() put_peaks=() client_rates=() peaks=()
run_curl() {
  local out
  out=$(curl -sS -o /dev/null -w '%{http_code} %{time_total}' -X POST -H 'Expect:' \
    -H "Authorization: Bearer $TW_BENCH_TOKEN" -H 'Content-Type: application/octet-stream' \
    --upload-file "$file" "$base/api/v1/files?name=curl.bin&mime=application%2Foctet-stream&conflict=rename")
  if [ "${out%% *}" != 201 ] && [ "${out%% *}" != 200 ]; then
    echo "upload.sh: curl's upload failed: HTTP ${out%% *}" >&2
    exit 1
  fi
  local rate
  rate=$(awk "BEGIN { printf \"%.0f\", $bytes / ${out#* } / 1e6 }")
  curl_rates+=("$rate")
  printf '  curl          %6s MB/s (%.2f s)\n' "$rate" "${out#* }"
}
run_put() {
  (umask 077 && printf '{"base":"%s","token":"%s"}\n' "$base" "$TW_BENCH_TOKEN" >"$work/domain.json")
  /usr/bin/time -f '%e %M' -o "$work/time" "$client" --config "$work/domain.json" put root "$file" \
    --name put.bin >/dev/null
  local seconds peak rate
  read -r seconds peak <"$work/time"
  rate=$(awk "BEGIN { printf \"%.0f\", $bytes / $seconds / 1e6 }")
  put_rates+=("$rate")
  put_peaks+=("$peak")
  printf '  tidewright put %5s MB/s (%.2f s), peak RSS %.1f MiB\n' "$rate" "$seconds" \
    "$(awk "BEGIN { print $peak / 1024 }")"
}
run_client() {
  local out
  out=$("$driver" --base "$base" --file "$file")
  local seconds peak parts cpu rate
  read -r _ _ seconds peak parts cpu <<<"$out"
  rate=$(awk "BEGIN { printf \"%.0f\", $bytes / $seconds / 1e6 }")
  client_rates+=("$rate")
  peaks+=("$peak")
  printf '  upload_bench  %6s MB/s (%.2f s: parts stored after %.2f s, then the completion), CPU %.2f s, peak RSS %.1f MiB\n' \
    "$rate" "$seconds" "$parts" "$cpu" "$(awk "BEGIN { print $peak / 1024 }")"
}

turns=(curl put client)
for ((run = 0; run < runs; run++)); do
  for ((turn = 0; turn < 3; turn++)); do
    start_server
    "run_${turns[(run + turn) % 3]}"
    stop_server
  done
done

curl_median=$(printf '%s\n' "${curl_rates[@]}" | median)
put_median=$(printf '%s\n' "${put_rates[@]}" | median)
client_median=$(printf '%s\n' "${client_rates[@]}" | median)
put_peak=$(printf '%s\n' "${put_peaks[@]}" | sort -g | tail -n 1)
peak_max=$(printf '%s\n' "${peaks[@]}" | sort -g | tail -n 1)
ratio=$(awk "BEGIN { printf \"%.2f\", $put_median / $curl_median }")
client_ratio=$(awk "BEGIN { printf \"%.2f\", $client_median / $curl_median }")
limit_kib=$(((4 * 8 + 16) * 1024))
goal() { awk "BEGIN { print ($1) ? \"met\" : \"NOT met\" }"; }
echo "RESULT upload-curl-MB-per-s $curl_median"
echo "RESULT upload-put-MB-per-s $put_median"
echo "RESULT upload-client-MB-per-s $client_median (Remote::upload alone: $client_ratio x curl)"
echo "RESULT upload-ratio $ratio (tidewright put against curl, goal >= 1.0: $(goal "$ratio >= 1.0"))"
echo "RESULT upload-peak-kib $put_peak (tidewright put, goal <= $limit_kib: $(goal "$put_peak <= $limit_kib"); Remote::upload alone: $peak_max)"
