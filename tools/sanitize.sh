#!/usr/bin/env bash
# Builds the core and its C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer,
# and under ThreadSanitizer, and runs them. Any report or failed check fails the run
# (exit status 1); a clean run exits 0. Each run ends with doctest's summary lines.
#   tools/sanitize.sh            both builds
#   tools/sanitize.sh asan|tsan  one of them
# The ASan+UBSan run covers every test; the TSan run covers the worker pool and
# the RDF (its chunked set-up and its pair loop on 0 to 8 threads) and the ordering
# search's chains, where threads meet.
set -uo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/doctest/doctest.h ]; then
  echo "installing doctest-dev (the C++ test framework)"
  if [ "$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null
  else sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null; fi
  [ -f /usr/include/doctest/doctest.h ] || { echo "doctest-dev could not be installed" >&2; exit 1; }
fi

run_mode() {
  local mode=$1 flags filter=()
  case $mode in
    asan) flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" ;;
    tsan) flags="-fsanitize=thread -fno-omit-frame-pointer"; filter=(--test-suite='pool,rdf*,order') ;;
    *) echo "unknown mode $mode" >&2; return 2 ;;
  esac
  local dir=build/sanitize-$mode generator=()
  # Ninja when available, unless the build directory already uses another generator.
  if command -v ninja >/dev/null && [ ! -f "$dir/CMakeCache.txt" ]; then generator=(-G Ninja); fi
  echo "== $mode: building"
  cmake -S . -B "$dir" "${generator[@]}" -DKESTREL_PYTHON=OFF -DKESTREL_CORE_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null || return 1
  cmake --build "$dir" -j2 >/dev/null || { cmake --build "$dir" -j1; return 1; }
  echo "== $mode: running"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "$dir/tests/core/core_tests" --no-intro=true "${filter[@]}"
}

if [ $# -eq 0 ]; then set -- asan tsan; fi
status=0
for mode in "$@"; do
  if ! run_mode "$mode"; then
    echo "== $mode: FAILED" >&2
    status=1
  fi
done
exit $status
