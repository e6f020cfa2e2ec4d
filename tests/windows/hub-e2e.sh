#!/usr/bin/env bash
# kestor-hub.exe under Wine end to end: curl on the loopback reaches the hub,
# which drives a kestor-emu register running on Linux through COM16 of the
# Wine prefix (wine-run.sh). The hub makes its token under the prefix's
# LOCALAPPDATA, stops on Ctrl+C (SIGINT) and reads the token back at its
# next start.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: hub-e2e.sh kestor-hub.exe kestor-emu" >&2
  exit 2
fi
hub=$1 emu=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../lib.sh"
wine_run() { bash "$here/wine-run.sh" "$@"; }
wine_run  # makes the prefix on first use
com=16

rm -f "$WINEPREFIX/ports/com$com"
start_emu emu "$emu" --model 207.1K --link "$WINEPREFIX/ports/com$com" --tape "$work/tape"

# The token is made anew: the prefix keeps the last run's.
appdata=$(wine_run cmd /c echo %LOCALAPPDATA% | tr -d '\r\n')
token_file=$(wine_run winepath -u "$appdata\\kestor\\hub-token" | tr -d '\r\n')
rm -f "$token_file"

hub_pid=
start_hub() {  # OUT: the hub's output; sets url and hub_pid
  bash "$here/wine-run.sh" "$hub" --register "till=$com" --listen 127.0.0.1:0 >"$1" 2>&1 &
  hub_pid=$!
  pids+=("$hub_pid")
  local started=$SECONDS
  url=
  while [ -z "$url" ] && [ $((SECONDS - started)) -lt 60 ] && kill -0 "$hub_pid" 2>/dev/null; do
    sleep 0.2
    url=$(sed -n 's|^kestor-hub: till (port '$com') on \(http://127.0.0.1:[0-9]*\)/\r*$|\1|p' "$1")
  done
  [ -n "$url" ] || { cat "$1" >&2; echo "hub-e2e: the hub did not start" >&2; exit 1; }
  echo "hub-e2e: the hub answers on $url after $((SECONDS - started)) s" >&2
}
stop_hub() {  # Ctrl+C ends it cleanly
  kill -INT "$hub_pid"
  local rc=0
  timeout 20 tail --pid="$hub_pid" -f /dev/null || fail "the hub did not stop on SIGINT"
  wait "$hub_pid" || rc=$?
  [ "$rc" -eq 0 ] || fail "the hub stopped with $rc on SIGINT"
}

start_hub "$work/hub1.out"
grep -qF "a new token, kept in $appdata\\kestor\\hub-token" "$work/hub1.out" ||
  fail "no new token under LOCALAPPDATA ($appdata): $(cat "$work/hub1.out")"
token=$(tr -d '\r\n' <"$token_file")
[[ "$token" =~ ^[0-9a-f]{64}$ ]] || fail "the token file holds '$token'"
# Wine maps the file's access list to its mode: nothing for others.
mode=$(stat -c %a "$token_file")
[ $((0$mode & 7)) = 0 ] || fail "others may use the token file: mode $mode"
api=$url/api/v1/registers/till
auth="Authorization: Bearer $token"
post() {  # NAME BODY [HEADER...]: the answer in NAME.json, its head in NAME.head
  local name=$1 body=$2
  shift 2
  curl -s -o "$work/$name.json" -D "$work/$name.head" -w '%{http_code}' "$@" \
    -H 'Content-Type: application/json' --data-binary "$body" "$api/rpc"
}

status=$(post anonymous '{"op": "TestConnection"}')
[ "$status" = 401 ] || fail "without the token: $status"

batch='[{"op": "OpenReceipt", "args": ["motSale"]},
  {"op": "AddReceiptItem", "args": ["Хлеб", "10.00", false, 1, 1, 0, 1000, 3, 0, ""]},
  {"op": "CloseReceipt", "args": ["", "mptCash", "100.00", "0.00", "", 0, "moiNumber"]}]'
status=$(post receipt "$batch" -H "$auth" -H 'Idempotency-Key: receipt-1')
[ "$status" = 200 ] && jq -e 'length == 3 and all(.[]; .ok == true)' "$work/receipt.json" >/dev/null ||
  fail "receipt: $status $(cat "$work/receipt.json")"
status=$(post replay "$batch" -H "$auth" -H 'Idempotency-Key: receipt-1')
[ "$status" = 200 ] && cmp -s "$work/receipt.json" "$work/replay.json" ||
  fail "replay: $status $(cat "$work/replay.json")"
grep -qi '^Idempotent-Replayed: true' "$work/replay.head" || fail "replay not marked: $(cat "$work/replay.head")"
[ "$(grep -c 'Хлеб' "$work/tape")" = 1 ] || fail "the tape: $(cat "$work/tape")"

curl -sN -H "$auth" "$api/events" >"$work/events" &
events=$!
pids+=("$events")
for _ in $(seq 100); do grep -q '^event: register' "$work/events" && break; sleep 0.05; done
grep -q '^event: register' "$work/events" || fail "events: $(head -c 500 "$work/events")"
stop_hub
# Stopped through its handler, the hub ends the stream whole; a process
# merely ended would cut it short (curl's code 18).
timeout 10 tail --pid="$events" -f /dev/null || kill "$events"
rc=0
wait "$events" || rc=$?
[ "$rc" -eq 0 ] || fail "the event stream ended with curl's code $rc at Ctrl+C"

# The next start reads the token it made, its access list passing the check.
start_hub "$work/hub2.out"
! grep -q "a new token" "$work/hub2.out" || fail "a second new token: $(cat "$work/hub2.out")"
status=$(curl -s -o "$work/list.json" -w '%{http_code}' -H "$auth" "$url/api/v1/registers")
[ "$status" = 200 ] || fail "after the restart: $status $(cat "$work/list.json")"
stop_hub

[ "$failed" -eq 0 ] || exit 1
echo "hub-e2e: all passed"
