#!/usr/bin/env bash
# Builds everything and runs every test:
#  1. the default build (g++, and the Nano firmware with avr-g++): unit tests,
#     end-to-end runs against the adapter emulator, through OpenOCD and through
#     the firmware in simavr, the window checks under Xvfb, and the .deb;
#  2. a clang build with AddressSanitizer and UndefinedBehaviorSanitizer: the
#     unit tests again, and each libFuzzer target for a bounded time;
#  3. the Windows build (MinGW-w64): its unit tests, a VERIFY and a READ
#     against the emulator and its action dialog, all under Wine, and the zip.
# Installs the Debian packages it needs when they are missing (as root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/packages.sh
need cmake make g++ libgtest-dev libfltk1.3-dev clang libclang-rt-14-dev \
     xvfb xdotool x11-utils imagemagick xauth g++-mingw-w64-x86-64-posix wine wine64 \
     openocd gcc-avr avr-libc binutils-avr simavr libsimavr-dev libelf-dev pkg-config python3 librsvg2-bin

# VRJTAG_STRICT=1 (CI): every toolchain and simulator must be there and no
# test may be skipped, since a skip there means the install step is broken.
# Local runs may skip a test whose tool is missing; the summary says so.
strict=${VRJTAG_STRICT:-0}
strict_cmake=-DVRJTAG_REQUIRE_ALL=$([ "$strict" = 1 ] && echo ON || echo OFF)
skipped=()
# run_tests DIR CTEST-ARGS...: the tests of one build; their skips noted.
run_tests() {
    local dir=$1 log
    shift
    log=$(mktemp /tmp/vrjtag-ctest-XXXXXX)
    ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    skipped+=($(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$log"))
    rm -f "$log"
    return "$rc"
}

jobs=$(nproc)
cmake -S . -B build "$strict_cmake" > /dev/null
cmake --build build -j"$jobs"
# The end-to-end runs mostly sleep on the protocol's waits: run many at once.
run_tests build -j10

cmake -S . -B build-asan -DCMAKE_CXX_COMPILER=clang++ -DVRJTAG_SANITIZE=ON "$strict_cmake" > /dev/null
cmake --build build-asan -j"$jobs" --target vr_unit_tests vr_known_bad_tests vr_fuzz_targets
# LeakSanitizer needs ptrace, which some sandboxes refuse: then switch off
# leak detection only, never the sanitizers.
export ASAN_OPTIONS=detect_leaks=1
if ! build-asan/tests/vr_unit_tests --gtest_filter=Text.* > /tmp/vrjtag-lsan.$$ 2>&1 &&
   grep -q "LeakSanitizer has encountered a fatal error\|LeakSanitizer does not work" /tmp/vrjtag-lsan.$$; then
    echo "LeakSanitizer cannot run here: leak detection off" >&2
    export ASAN_OPTIONS=detect_leaks=0
fi
rm -f /tmp/vrjtag-lsan.$$
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_tests build-asan -L 'unit|fuzz' -j"$jobs"

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVRJTAG_LINUX_BUILD="$root/build" \
    "$strict_cmake" > /dev/null
cmake --build build-win -j"$jobs"
run_tests build-win -j4

if [ ${#skipped[@]} -gt 0 ]; then
    echo "ALL RUN TESTS PASSED; ${#skipped[@]} SKIPPED: ${skipped[*]}"
    if [ "$strict" = 1 ]; then
        echo "strict mode (CI): a skipped test is a failure" >&2
        exit 1
    fi
else
    echo "ALL TESTS PASSED, none skipped"
fi
