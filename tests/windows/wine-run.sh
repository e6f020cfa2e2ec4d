#!/usr/bin/env bash
# Runs a Windows program under Wine in the prefix WINEPREFIX names (the build
# tree's), making the prefix on first use: wineboot is slow, so every later
# run reuses it. The prefix maps COM1 .. COM16 to the symbolic links
# $WINEPREFIX/ports/com1 .. com16, which a test points at an emulator's
# pseudo-terminal (kestor-emu --link). Wine gives the machine's own /dev/ttyS*
# the next free numbers.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX names the prefix}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}

wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

make_prefix() {
  rm -rf "$WINEPREFIX"
  local started=$SECONDS
  "$wine" wineboot --init >/dev/null 2>&1
  mkdir -p "$WINEPREFIX/ports"
  local reg="$WINEPREFIX/ports.reg"
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $(seq 1 16); do
      printf '"COM%s"="%s"\r\n' "$n" "$WINEPREFIX/ports/com$n"
    done
  } >"$reg"
  "$wine" regedit /S "$reg" >/dev/null 2>&1
  # The ports are read when the server starts: let this one end.
  "$wineserver" -w
  touch "$WINEPREFIX/.kestor-ports-16"
  echo "wine-run: made the Wine prefix $WINEPREFIX in $((SECONDS - started)) s" >&2
}

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$WINEPREFIX/.kestor-ports-16" ] || make_prefix
flock -u 9
exec 9>&-

# The server and Wine's own services outlive the program for a while: they
# are started here, away from the caller's pipes, which would otherwise stay
# open (and a test runner wait) until they end; the next program also starts
# faster.
"$wineserver" -p30 </dev/null >/dev/null 2>&1 || true
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
[ $# -gt 0 ] || exit 0
exec "$wine" "$@"
