#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test:
# native, native under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# Windows cross build under wine; the packages are built and checked
# (lintian, man --warnings, bash completion) by scripts/package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
jobs=$(nproc)
start=$SECONDS

step() { printf '\n=== %s (%ds)\n' "$*" $((SECONDS - start)); }

step "native build"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
step "native tests"
ctest --preset native -j"$jobs"

step "sanitizer build"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$jobs"
step "sanitizer tests"
ctest --preset sanitize -j"$jobs" -LE slow

step "thread sanitizer build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs"
step "thread sanitizer tests"
# The end-to-end tests run real processes with timeouts; under the thread
# sanitizer's slowdown a timing miss gets one more try. A race report halts
# the program and shows in the output either way.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan -j"$jobs" --repeat until-pass:2

step "fuzzing (40 s a target)"
tests/fuzz/run-fuzz.sh 40

step "packages"
scripts/package.sh

step "Windows cross build"
cmake --preset mingw -DZV_NATIVE_BUILD_DIR="$PWD/build/native" >/dev/null
cmake --build --preset mingw -j"$jobs"
step "Windows tests under wine"
ctest --preset mingw -j"$jobs"

step "all passed"
