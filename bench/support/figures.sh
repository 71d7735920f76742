# shellcheck shell=bash
# Helpers of the benchmark scripts (sourced, bash): timing a command, rates, and the RESULT line of a ratio
# measured in every round, with its best and median round against a goal.

# Runs a command with its standard output discarded and prints its wall-clock time in seconds. A command that
# fails makes this fail (its stderr is left visible), so that a broken step never passes for a fast one.
seconds() {
  local start=$EPOCHREALTIME
  if ! "$@" > /dev/null; then
    echo "benchmark step failed: $*" >&2
    return 1
  fi
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.6f", b - a}'
}

# BYTES SECONDS: the rate in MB/s (10^6 bytes), whole.
rate() { awk -v b="$1" -v s="$2" 'BEGIN {printf "%.0f", (s > 0 ? b / s / 1e6 : 0)}'; }

# A B: A / B.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.4f", (b > 0 ? a / b : 0)}'; }

# high|low FORMAT VALUE...: "BEST / MEDIAN", the best being the highest value (high) or the lowest (low).
best_median() {
  local direction=$1 format=$2
  shift 2
  printf '%s\n' "$@" | sort -g | awk -v d="$direction" -v f="$format" '{v[NR] = $1} END {
    m = (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)
    printf f " / " f, (d == "high" ? v[NR] : v[1]), m }'
}

# NAME ">="|"<=" GOAL VALUE...: one RESULT line with the best and median of a ratio measured once a round
# and whether the goal is met: "met" when the median meets it, "met in the best round only", or "not met".
result() {
  local name=$1 op=$2 goal=$3
  shift 3
  printf '%s\n' "$@" | sort -g | awk -v name="$name" -v op="$op" -v goal="$goal" '{v[NR] = $1} END {
    m = (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)
    b = (op == ">=" ? v[NR] : v[1])
    median_meets = (op == ">=" ? m >= goal : m <= goal)
    best_meets = (op == ">=" ? b >= goal : b <= goal)
    verdict = (median_meets ? "met" : (best_meets ? "met in the best round only" : "not met"))
    printf "RESULT %s best %.2f median %.2f (goal %s %s: %s)\n", name, b, m, op, goal, verdict }'
}

# MIB FOLDER: hands the next step memory that was in use a moment ago, so that every timed step starts alike.
# This virtual machine gives free memory back to its host a few seconds after it is freed (virtio-balloon
# free page reporting), and the large page-cache folios that big writes and reads make (1 MiB for
# `dd bs=1M`) cost 5-9 s a GiB to take from such memory, against 0.5 s when it was freed a moment ago; small
# writes (curl's 16 KiB) hardly notice. Without this, which step happened to follow which decided its figure.
# Writes MIB MiB with `dd bs=1M` into a file in FOLDER and removes it: the timed step must come right after,
# with no `sync` between. TW_BENCH_FRESH_MEMORY=0 leaves it out (the figures then show the cold memory).
fresh_memory() {
  [ "${TW_BENCH_FRESH_MEMORY:-1}" = 0 ] && return 0
  dd if=/dev/zero of="$2/fresh-memory" bs=1M count="$1" status=none
  rm -f "$2/fresh-memory"
}
