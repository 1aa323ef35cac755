#!/bin/sh
# Several headsets in one calyra process recording to BDF: CPU, peak memory
# and missed packets, for 8 HERONs (32 electrodes) at their highest rate and
# 8 WRENs (8 electrodes) at 500 Hz; virtual headsets in real time behind a
# 15 ms connection interval.
#   bench/calyra/several_headsets.sh [BUILD_DIR] [SECONDS]
# VIEW=1 opens the live view too (a page per headset, no browser attached).
set -eu
build=${1:-build}
seconds=${2:-60}
calyra=$build/tools/calyra/calyra
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export CYCORE_VIRTUAL_SCAN_SCALE=0.02

run() {  # label model rate
  label="$1${VIEW:+, view}" model=$2 rate=$3
  devices=""
  for i in 1 2 3 4 5 6 7 8; do devices="$devices;CY BENCH $i,model=$model,seed=$i,interval_ms=15"; done
  CYCORE_VIRTUAL_DEVICES=${devices#;} /usr/bin/time -f "%U %S %M" -o "$out/time" "$calyra" --virtual stream \
    "CY BENCH 1" "CY BENCH 2" "CY BENCH 3" "CY BENCH 4" "CY BENCH 5" "CY BENCH 6" "CY BENCH 7" "CY BENCH 8" \
    ${VIEW:+--view} --rate "$rate" --seconds "$seconds" --out "$out/session.bdf" --overwrite > "$out/stdout" 2> "$out/stderr" ||
    { cat "$out/stderr"; exit 1; }
  read -r user system rss_kb < "$out/time"
  missed=$(grep "Missed packets" "$out/stdout" | awk '{s += $3} END {print s + 0}')
  awk -v l="$label" -v u="$user" -v s="$system" -v t="$seconds" -v m="$rss_kb" -v x="$missed" 'BEGIN {
    printf "%-22s CPU %5.1f %% of a core (%.1f s user + %.1f s system over %d s of stream), peak RSS %.1f MiB, missed packets %d\n",
      l, 100 * (u + s) / t, u, s, t, m / 1024, x }'
}

# The HERON's highest rate, as its capabilities say.
heron_rate=250
CYCORE_VIRTUAL_DEVICES="CY BENCH 1,model=2" "$calyra" --virtual info "CY BENCH 1" | grep -qi "500" && heron_rate=500
run "8 x 32 el at $heron_rate Hz" 2 "$heron_rate"
run "8 x 8 el at 500 Hz" 0 500
