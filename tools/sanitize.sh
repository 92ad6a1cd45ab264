#!/usr/bin/env bash
# Builds the core and its C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer,
# and under ThreadSanitizer, and runs them. Any report fails the run.
#   tools/sanitize.sh            both builds
#   tools/sanitize.sh asan|tsan  one of them
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/doctest/doctest.h ]; then
  echo "installing doctest-dev (the C++ test framework)"
  if [ "$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null
  else sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null; fi
fi

run_mode() {
  local mode=$1 flags
  case $mode in
    asan) flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" ;;
    tsan) flags="-fsanitize=thread -fno-omit-frame-pointer" ;;
    *) echo "unknown mode $mode" >&2; exit 2 ;;
  esac
  local dir=build/sanitize-$mode
  cmake -S . -B "$dir" -DKESTREL_PYTHON=OFF -DKESTREL_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
  cmake --build "$dir" -j2 >/dev/null
  echo "== $mode"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "$dir/tests/core/core_tests" --no-intro=true
}

if [ $# -eq 0 ]; then set -- asan tsan; fi
for mode in "$@"; do run_mode "$mode"; done
