#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small program against
# it twice: through find_package(Kestor) and through pkg-config.
set -euo pipefail
build=$1
source=$2
# A library built with sanitizers (KESTOR_SANITIZE) needs them in its programs.
flags=()
if [ -n "${3:-}" ]; then flags=("-fsanitize=$3"); fi
work=$(mktemp -d)
# On failure the step's log tells why.
trap 'status=$?; [ $status -ne 0 ] && cat "$work"/*.log 2>/dev/null; rm -rf "$work"; exit $status' EXIT

cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
for program in kestorctl kestor-emu; do
  test -x "$work/prefix/bin/$program"
done

export KESTOR_COM24=/nonexistent/kestor-port
cmake -S "$source/tests/install/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_FLAGS="${flags[*]}" > "$work/configure.log"
cmake --build "$work/consumer" > "$work/build.log" 2>&1
"$work/consumer/consumer" | grep -qx "libkestor 1.2 (101)"

pc=$(dirname "$(find "$work/prefix" -name kestor.pc)")
# shellcheck disable=SC2046
g++ -std=c++20 "${flags[@]}" "$source/tests/install/consumer/main.cpp" -o "$work/consumer-pc" \
  $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs kestor)
"$work/consumer-pc" | grep -qx "ErrCode 17"
echo "installed package builds and runs a consumer"
