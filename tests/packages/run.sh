#!/usr/bin/env bash
# The Debian packages as a till gets them: builds them (scripts/package),
# checks them with lintian, installs them, runs the installed hub as its unit
# does on the installed emulator and prints a receipt through it, reads its
# metrics as Prometheus would and tries the alert rules it installs, then
# reinstalls (the token and the configuration stay) and purges them (nothing
# stays). As root, on a machine whose packages it may change (scripts/test --all).
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(id -u)" != 0 ]; then echo "test-packages: run as root" >&2; exit 2; fi

build=${KESTOR_BUILD_DIR:-build}
packages=(libkestor1 libkestor-dev kestor-tools kestor-hub kestor-test python3-kestor)
unit=/lib/systemd/system/kestor-hub.service
token=/var/lib/kestor/hub-token
api=http://127.0.0.1:9850
work=$(mktemp -d)
export DEBIAN_FRONTEND=noninteractive
hub='' emu=''
fail() { echo "test-packages: $*" >&2; exit 1; }
stop() { if [ -n "$1" ]; then kill "$1" 2> /dev/null || true; wait "$1" 2> /dev/null || true; fi; }
finish() {
  local status=$?
  stop "$hub"
  stop "$emu"
  if [ $status -ne 0 ]; then
    for log in "$work"/*.log; do echo "== $log"; tail -n 40 "$log"; done
    apt-get purge -y "${packages[@]}" > /dev/null 2>&1 || true
  fi
  rm -rf "$work"
  exit $status
}
trap finish EXIT

# The tools of the packages' build and of this test (promtool: prometheus).
missing=()
for p in debhelper lintian systemd adduser curl prometheus; do
  dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update > /dev/null && apt-get install -y --no-install-recommends "${missing[@]}" > /dev/null
fi

started=$SECONDS
scripts/package
echo "test-packages: built in $((SECONDS - started)) s"
started=$SECONDS
debs=()
for p in "${packages[@]}"; do debs+=("$(realpath "$build"/packages/"${p}"_*_*.deb)"); done

# Errors fail; the warnings are shown.
lintian --fail-on error "${debs[@]}" | tee "$work/lintian.log"

apt-get install -y "${debs[@]}" > "$work/apt.log"
# With systemd running the package has started the service; the test runs its own.
if [ -d /run/systemd/system ]; then systemctl stop kestor-hub; fi
systemd-analyze verify "$unit"

# The register: the installed emulator on a pseudo-terminal that the service's
# user may open (it is in dialout for the serial lines, not for /dev/pts).
kestor-emu --model 207.1K --tape "$work/tape.txt" > "$work/emu.log" 2>&1 &
emu=$!
for _ in $(seq 50); do grep -q '^KESTOR_COM1=' "$work/emu.log" && break; sleep 0.1; done
device=$(sed -n 's/^KESTOR_COM1=//p' "$work/emu.log")
[ -n "$device" ] || fail "the emulator did not start"
user=$(sed -n 's/^User=//p' "$unit")
{ [ "$(getent passwd "$user" | cut -d: -f6,7)" = /var/lib/kestor:/usr/sbin/nologin ] &&
  id -nG "$user" | grep -qw dialout; } || fail "the user $user: $(getent passwd "$user"), $(id "$user")"
chown "$user" "$device"

# The hub as the unit starts it: its user, its command, its configuration.
read -ra command <<< "$(sed -n 's/^ExecStart=//p' "$unit")"
KESTOR_COM1=$device setpriv --reuid="$user" --regid="$user" --init-groups -- "${command[@]}" \
  > "$work/hub.log" 2>&1 &
hub=$!
for _ in $(seq 50); do curl -so /dev/null "$api/" && break; sleep 0.1; done
[ "$(stat -c '%U %a' "$token")" = "$user 600" ] || fail "$token: $(stat -c '%U %a' "$token")"
auth="Authorization: Bearer $(cat "$token")"

# A receipt through the API, as the shop's page sends it: on the tape.
curl -sf -H "$auth" "$api/api/v1/registers/till/rpc" -d '[
  {"op": "OpenReceipt", "args": ["motSale"]},
  {"op": "AddReceiptItem", "args": ["Хлеб", "45.00", false, 1, 0, 0, 2, 0, 0, ""]},
  {"op": "CloseReceipt", "args": ["1", "mptCash", "100.00", "0.00", "", 0, "moiNumberName"]}]' \
  > "$work/receipt.log"
[ "$(grep -o '"ok":true' "$work/receipt.log" | wc -l)" = 3 ] || fail "the receipt was refused"
grep -q '^Хлеб$' "$work/tape.txt" || fail "the receipt is not on the tape"
grep -Eq '^СДАЧА +=10\.00$' "$work/tape.txt" || fail "the receipt's change is not on the tape"

# The metrics: a token is needed, Prometheus reads them, the receipt is
# counted; the alert rules installed as an example fire when they should.
code=$(curl -s -o /dev/null -w '%{http_code}' "$api/metrics")
[ "$code" = 401 ] || fail "/metrics without the token: $code"
curl -sf -H "$auth" "$api/metrics" > "$work/metrics.txt"
promtool check metrics < "$work/metrics.txt"
grep -qx 'kestor_register_documents_printed_total{register="till",operation="CloseReceipt"} 1' \
  "$work/metrics.txt" || fail "/metrics does not count the receipt"
promtool test rules tests/packages/alerts-test.yml > "$work/rules.log"

# The Python module, for the system's Python, finds the installed library.
/usr/bin/python3 -c 'import kestor; print(kestor.library_version())' | grep -qx "$(dpkg-query -W \
  -f='${Version}' libkestor1)" || fail "python3-kestor does not load libkestor"

stop "$hub"
hub=

# A reinstall keeps the token and the administrator's configuration.
echo "# kept $$" >> /etc/kestor/hub.toml
cp "$token" "$work/token"
apt-get install -y --reinstall "${debs[@]}" < /dev/null > "$work/reinstall.log"
cmp -s "$token" "$work/token" || fail "the reinstall changed the token"
grep -qx "# kept $$" /etc/kestor/hub.toml || fail "the reinstall changed hub.toml"
[ "$(stat -c '%U %a' /var/lib/kestor)" = "$user 700" ] || fail "/var/lib/kestor changed"

# Purged, nothing of them stays: no file, no folder only they had, no user.
stop "$emu"
emu=
dpkg -L "${packages[@]}" > "$work/files.log"
apt-get purge -y "${packages[@]}" > "$work/purge.log"
grep -vx /. "$work/files.log" | while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    dpkg -S "$path" > /dev/null 2>&1 || fail "$path is left after the purge"
  fi
done
for path in /etc/kestor /var/lib/kestor; do [ ! -e "$path" ] || fail "$path is left"; done
left=$(find /etc/systemd /var/lib/systemd -name 'kestor-hub*' 2>/dev/null)
[ -z "$left" ] || fail "left after the purge: $left"
! getent passwd "$user" > /dev/null || fail "the user $user is left"
! getent group "$user" > /dev/null || fail "the group $user is left"
echo "test-packages: installed, served a receipt, reinstalled and purged in $((SECONDS - started)) s"
