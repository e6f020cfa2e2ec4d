#!/usr/bin/env bash
# Runs a C interface test program against kestor-emu: on this machine through
# KESTOR_COM1, or, given wine-run.sh, as a Windows program under Wine with the
# register on the prefix's COM1 (WINEPREFIX). Checks that the receipt the
# program printed is on the emulator's tape.
#   run.sh kestor-emu program [wine-run.sh]
set -euo pipefail
emu=$1 program=$2 wine_run=${3:-}
source "$(dirname "$0")/../lib.sh"

link=()
if [ -n "$wine_run" ]; then
  bash "$wine_run"  # the prefix with its COM ports
  link=(--link "$WINEPREFIX/ports/com1")
fi
start_emu emu "$emu" --model 207.1K --tape "$work/tape.txt" "${link[@]}"
if [ -n "$wine_run" ]; then
  bash "$wine_run" "$program" 1 > "$work/program.log" 2>&1
else
  KESTOR_COM1=$device "$program" 1 > "$work/program.log" 2>&1
fi
tr -d "\r" < "$work/program.log" | grep -qx printed  # Windows ends lines with CR LF
grep -q "^Хлеб$" "$work/tape.txt"
grep -Eq "^  2 x 45\.00 +=90\.00$" "$work/tape.txt"
