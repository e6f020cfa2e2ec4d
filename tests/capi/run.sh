#!/usr/bin/env bash
# Runs a C interface test program against kestor-emu: on this machine through
# KESTOR_COM1, or, given wine-run.sh, as a Windows program under Wine with the
# register on the prefix's COM1 (WINEPREFIX). Checks that the receipt the
# program printed is on the emulator's tape.
#   run.sh kestor-emu program [wine-run.sh]
set -euo pipefail
emu=$1 program=$2 wine_run=${3:-}
work=$(mktemp -d)
trap 'status=$?; [ -n "${emu_PID:-}" ] && kill "$emu_PID" 2>/dev/null
      [ $status -ne 0 ] && cat "$work"/*.log 2>/dev/null; rm -rf "$work"; exit $status' EXIT

link=()
if [ -n "$wine_run" ]; then
  bash "$wine_run"  # the prefix with its COM ports
  link=(--link "$WINEPREFIX/ports/com1")
fi
coproc emu { exec "$emu" --model 207.1K --tape "$work/tape.txt" "${link[@]}" 2>&1; }
device=
while [ -z "$device" ] && read -r -t 5 line <&"${emu[0]}"; do
  [[ $line == KESTOR_COM1=* ]] && device=${line#KESTOR_COM1=}
done
[ -n "$device" ]
if [ -n "$wine_run" ]; then
  bash "$wine_run" "$program" 1 > "$work/program.log" 2>&1
else
  KESTOR_COM1=$device "$program" 1 > "$work/program.log" 2>&1
fi
tr -d "\r" < "$work/program.log" | grep -qx printed  # Windows ends lines with CR LF
grep -q "^Хлеб$" "$work/tape.txt"
grep -Eq "^  2 x 45\.00 +=90\.00$" "$work/tape.txt"
