# shellcheck shell=bash
# Sourced by the test scripts that run kestor-emu. Gives a scratch folder,
# $work, removed on exit, whose *.log files are printed when the script fails,
# and ends on exit every process whose id is in $pids.
work=$(mktemp -d)
pids=()
stop_pids() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'status=$?; stop_pids; [ $status -ne 0 ] && cat "$work"/*.log >&2 2>/dev/null
      rm -rf "$work"; exit $status' EXIT

# fail TEXT: says what failed and marks the run failed ($failed), going on.
failed=0
fail() {
  echo "$(basename "$0" .sh): FAIL: $*" >&2
  failed=1
}

# start_emu NAME COMMAND...: starts the emulator, its output in $work/NAME.log,
# and sets $device to the pseudo-terminal it names on its KESTOR_COM1= line,
# which it prints once it serves (and its --link is made).
start_emu() {
  local log=$work/$1.log
  shift
  "$@" >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do
    device=$(sed -n 's/^KESTOR_COM1=//p' "$log")
    [ -z "$device" ] || return 0
    sleep 0.05
  done
  echo "the emulator named no port: $*" >&2
  return 1
}
