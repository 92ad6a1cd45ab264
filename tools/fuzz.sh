#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (fuzzer + ASan + UBSan)
# and runs them.
#   tools/fuzz.sh TARGET SECONDS   one target: poscar, xyz, cif, symop, trajectory, lammps, spacegroup
#   tools/fuzz.sh all SECONDS      each target in turn for SECONDS
#   tools/fuzz.sh build            build only
# Seeds come from tests/fuzz/corpus/TARGET (committed) and the examples; what
# the fuzzer adds goes to build/fuzz/corpus/TARGET, crashing or hanging inputs
# to build/fuzz/artifacts/TARGET. Exits non-zero when any target found something.
# Replay one input: build/fuzz/fuzz_TARGET path/to/input
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
targets=(poscar xyz cif symop trajectory lammps spacegroup)
dir=build/fuzz

cxx=${CXX_FUZZ:-}
if [ -z "$cxx" ]; then
  for candidate in clang++ clang++-16 clang++-15 clang++-14; do
    if command -v "$candidate" >/dev/null; then cxx=$candidate; break; fi
  done
fi
[ -n "$cxx" ] || { echo "fuzzing needs clang++ (with libclang-rt for libFuzzer)" >&2; exit 2; }

build() {
  local flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
  local generator=()
  if command -v ninja >/dev/null && [ ! -f "$dir/CMakeCache.txt" ]; then generator=(-G Ninja); fi
  cmake -S tests/fuzz -B "$dir" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2" -DCMAKE_CXX_FLAGS="$flags" >/dev/null || return 1
  cmake --build "$dir" -j2 >/dev/null || { cmake --build "$dir" -j1; return 1; }
}

seeds_for() {
  case $1 in
    poscar) ls examples/*.poscar examples/POSCAR* 2>/dev/null ;;
    xyz|trajectory) ls examples/*.xyz 2>/dev/null ;;
    cif) ls examples/*.cif 2>/dev/null ;;
  esac
}

run() {
  local target=$1 seconds=$2
  local corpus=$dir/corpus/$target artifacts=$dir/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  # The trajectory and CIF targets read a selection byte; seeds are used as they are.
  for seed in $(seeds_for "$target"); do cp -n "$seed" "$corpus/" 2>/dev/null || true; done
  echo "== $target: ${seconds}s"
  local log=$dir/$target.log
  # -timeout: an input running 10 s is a hang; -rss_limit_mb: 2 GB is a memory blow-up.
  "$root/$dir/fuzz_$target" "$corpus" "tests/fuzz/corpus/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  local status=$?
  grep -E "^Done|stat::number_of_executed_units|stat::peak_rss_mb|cov: .*ft:" "$log" | tail -4
  if [ $status -ne 0 ]; then
    echo "== $target: FOUND A PROBLEM (see $log and $artifacts)" >&2
    grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$log" | head -10 >&2
    return 1
  fi
}

case ${1:-} in
  build) build; exit $? ;;
  "") sed -n '2,10p' "$0"; exit 2 ;;
esac
[ $# -eq 2 ] || { sed -n '2,10p' "$0"; exit 2; }
build || exit 1
if [ "$1" = all ]; then set -- "${targets[*]}" "$2"; fi
status=0
for target in $1; do
  case " ${targets[*]} " in *" $target "*) ;; *) echo "unknown target $target" >&2; exit 2 ;; esac
  run "$target" "$2" || status=1
done
exit $status
