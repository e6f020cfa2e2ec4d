#!/usr/bin/env bash
# A brief run of the line benchmark and the C floor against the instant peer.
# Usage: line-smoke.sh PEER BENCH FLOOR
set -euo pipefail
coproc PEER { "$1"; }
read -r line <&"${PEER[0]}"
device=${line#KESTOR_COM1=}
"$3" "$device" 3 20
KESTOR_BENCH_DEVICE=$device "$2" --benchmark_filter=^Query --benchmark_min_time=0.001 2>&1 |
  tee /dev/stderr | { ! grep -q "ERROR OCCURRED"; }
kill "$PEER_PID"
