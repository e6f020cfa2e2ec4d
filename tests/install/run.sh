#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small program against
# it twice: through find_package(Kestor) and through pkg-config; then the
# README's receipt program (docs/examples), which prints on the installed
# emulator.
set -euo pipefail
build=$1
source=$2
# A library built with sanitizers (KESTOR_SANITIZE) needs them in its programs.
flags=()
if [ -n "${3:-}" ]; then flags=("-fsanitize=$3"); fi
# On failure the step's log tells why.
source "$source/tests/lib.sh"

cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
for program in kestorctl kestor-emu; do
  test -x "$work/prefix/bin/$program"
  test -f "$work/prefix/share/man/man1/$program.1"
done
# The programs and the pkg-config consumer find the shared library there.
lib=$(dirname "$(find "$work/prefix" -name libkestor.so.1)")
export LD_LIBRARY_PATH=$lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
readelf -d "$lib/libkestor.so.1" | grep -q 'SONAME.*\[libkestor\.so\.1\]'

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

# The README shows the example as it is.
sed -n '/^<!-- docs\/examples\/receipt.cpp -->$/,/^```$/p' "$source/README.md" | sed '1,2d;$d' |
  diff - "$source/docs/examples/receipt.cpp" > "$work/readme.log"
cmake -S "$source/docs/examples" -B "$work/example" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_FLAGS="${flags[*]}" > "$work/example-configure.log"
cmake --build "$work/example" > "$work/example-build.log" 2>&1
start_emu emu "$work/prefix/bin/kestor-emu" --model 207.1K --tape "$work/tape.txt"
KESTOR_COM1=$device "$work/example/kestor-receipt" 1 > "$work/example-run.log" 2>&1
grep -qx printed "$work/example-run.log"
# The emulator has written the receipt before it answered.
grep -q "^Хлеб$" "$work/tape.txt"
grep -Eq "^  2 x 45\.00 +=90\.00$" "$work/tape.txt"
grep -Eq "^СДАЧА +=10\.00$" "$work/tape.txt"
echo "installed package builds and runs a consumer and the receipt example"
