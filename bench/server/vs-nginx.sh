#!/usr/bin/env bash
# Side-by-side download benchmark of tidewright-server against nginx on loopback, plus a listing benchmark.
#
#   bench/server/vs-nginx.sh [BUILD_DIR]        (default: build; needs apps/tidewright-server built there)
#
# 1. Makes a 1 GiB file of random bytes, stores it in tidewright-server as a node's content (one streamed
#    direct upload) and has nginx (the Debian package, installed here when missing) serve the same file.
# 2. Fetches it with curl from each, alternating, TW_BENCH_RUNS times (default 5); prints the best and the
#    median rate of each and the ratio of the bests. Goal: tidewright-server >= 0.7 of nginx.
# 3. Lists a folder of TW_BENCH_CHILDREN children (default 100,000, seeded with --seed-bulk) in pages of
#    500 over one keep-alive connection; prints nodes per second. Goal: >= 20,000 nodes/s.
# Everything runs on 127.0.0.1 and is removed at the end. TW_BENCH_SIZE_MIB changes the file size.
set -euo pipefail
[ -n "${TW_BENCH_TRACE:-}" ] && set -x

build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
server_bin=$root/$build/apps/tidewright-server/tidewright-server
[ -x "$server_bin" ] || server_bin=$build/apps/tidewright-server/tidewright-server
size_mib=${TW_BENCH_SIZE_MIB:-1024}
runs=${TW_BENCH_RUNS:-5}
children=${TW_BENCH_CHILDREN:-100000}
token=bench-token

if [ ! -x "$server_bin" ]; then
  echo "vs-nginx: $server_bin not found; build tidewright-server first (cmake --build $build --target tidewright-server)" >&2
  exit 1
fi
if ! command -v nginx >/dev/null 2>&1 && [ ! -x /usr/sbin/nginx ]; then
  echo "vs-nginx: installing nginx" >&2
  sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends nginx >/dev/null 2>&1 || {
    "${sudo[@]}" apt-get update -qq && "${sudo[@]}" apt-get install -y -qq --no-install-recommends nginx >/dev/null
  }
  # The package may start its own service on port 80; this benchmark uses its own instance only.
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d /tmp/tw-bench.XXXXXX)
server_pid=""; nginx_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  local p
  for p in $(seq 18080 18400); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
  return 1
}

echo "== making a ${size_mib} MiB file"
mkdir -p "$work/www"
chmod 755 "$work" "$work/www"  # nginx's workers run as an unprivileged user
head -c $((size_mib * 1048576)) /dev/urandom > "$work/www/big.bin"

echo "== starting tidewright-server (seeding $children children)"
"$server_bin" --data "$work/data" --token "$token" --seed-bulk "$children" > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
for _ in $(seq 1 600); do [ -s "$work/server.out" ] && break; sleep 0.1; done
base=$(head -1 "$work/server.out")
[ -n "$base" ] || { echo "vs-nginx: the server did not start: $(cat "$work/server.err")" >&2; exit 1; }
auth=(-H "Authorization: Bearer $token")

node=$(curl -sf "${auth[@]}" -X POST -H "Content-Type: application/octet-stream" -T "$work/www/big.bin" \
  "$base/api/v1/files?name=big.bin&mime=application%2Foctet-stream&conflict=fail")
id=$(printf '%s' "$node" | grep -o '"id":"[^"]*"' | head -1 | cut -d'"' -f4)
opened=$(curl -sf "${auth[@]}" -X POST "$base/api/v1/nodes/$id/open")
url=$(printf '%s' "$opened" | grep -o '"url":"[^"]*"' | cut -d'"' -f4)
tw_url="$base$url"

echo "== starting nginx"
port=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 1 100); do curl -sf -o /dev/null "http://127.0.0.1:$port/big.bin" -r 0-0 && break; sleep 0.1; done
curl -sf -o /dev/null -r 0-0 "http://127.0.0.1:$port/big.bin" || { echo "vs-nginx: nginx does not serve the file: $(tail -3 "$work/nginx/error.log")" >&2; exit 1; }
nginx_url="http://127.0.0.1:$port/big.bin"

rate() { curl -sf -o /dev/null -w '%{speed_download}\n' "$1"; }
# Warm both (page cache, connections), then alternate.
rate "$tw_url" > /dev/null; rate "$nginx_url" > /dev/null
tw_rates=(); nginx_rates=()
for i in $(seq 1 "$runs"); do
  tw_rates+=("$(rate "$tw_url")")
  nginx_rates+=("$(rate "$nginx_url")")
done
stats() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {printf "%.0f %.0f\n", a[NR], a[int((NR+1)/2)]}'; }
read -r tw_best tw_median < <(stats "${tw_rates[@]}")
read -r nginx_best nginx_median < <(stats "${nginx_rates[@]}")

echo "== download of ${size_mib} MiB over loopback, curl, $runs runs each"
awk -v b="$tw_best" -v m="$tw_median" 'BEGIN {printf "tidewright-server: best %.0f MB/s, median %.0f MB/s\n", b/1e6, m/1e6}'
awk -v b="$nginx_best" -v m="$nginx_median" 'BEGIN {printf "nginx:             best %.0f MB/s, median %.0f MB/s\n", b/1e6, m/1e6}'
awk -v t="$tw_best" -v n="$nginx_best" -v tm="$tw_median" -v nm="$nginx_median" \
  'BEGIN {printf "ratio (best): %.2f   ratio (median): %.2f   goal >= 0.70\n", t/n, tm/nm}'

echo "== listing $children children in pages of 500"
g++ -O2 -std=c++20 "$here/list_pages.cpp" -o "$work/list_pages" $(pkg-config --cflags --libs cpp-httplib)
bulk=$(curl -sf "${auth[@]}" "$base/api/v1/nodes?parent=root&limit=500" | grep -o '"id":"[^"]*","kind":"folder","mime":null,"name":"Bulk"' | cut -d'"' -f4)
[ -n "$bulk" ] || bulk=$(curl -sf "${auth[@]}" "$base/api/v1/nodes?parent=root&limit=500" | jq -r '.items[] | select(.name=="Bulk") | .id')
best_list=0
for i in 1 2 3; do
  read -r count seconds < <("$work/list_pages" "$base" "$token" "$bulk" 500)
  nps=$(awk -v c="$count" -v s="$seconds" 'BEGIN {printf "%.0f", c/s}')
  echo "run $i: $count nodes in ${seconds}s = $nps nodes/s"
  [ "$nps" -gt "$best_list" ] && best_list=$nps
done
echo "listing best: $best_list nodes/s   goal >= 20000"
