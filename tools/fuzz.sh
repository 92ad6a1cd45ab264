#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (fuzzer + ASan + UBSan)
# and runs them.
#   tools/fuzz.sh TARGET SECONDS   one target: poscar, xyz, cif, symop, trajectory, lammps, spacegroup
#   tools/fuzz.sh all SECONDS      each target in turn for SECONDS
#   tools/fuzz.sh build            build only
#   tools/fuzz.sh --campaign EXECUTIONS [TARGET ...]
#                                  a long campaign: each target (default all) runs in rounds
#                                  until it has executed EXECUTIONS inputs, what it found that adds
#                                  coverage is merged into tests/fuzz/corpus/TARGET, and one row per
#                                  target (executions, rounds, coverage, findings) goes to
#                                  docs/fuzz-campaign.csv. FUZZ_ROUND_SECONDS (default 600) sets
#                                  the length of a round.
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

# Real files as seeds for a campaign: the CIFs of the COD corpus beside the
# checkout (as published, so the fuzzer starts from every common layout).
real_seeds_for() {
  local shared
  for shared in ../shared ../../shared; do
    if [ "$1" = cif ] && [ -d "$shared/corpus/cod" ]; then ls "$shared"/corpus/cod/*.cif; return; fi
  done
}

# Longest input a target is given: CIFs of real size (tens of kB) in a
# campaign, where whole files must get past the loop checks.
max_len_for() {
  case $1 in cif) echo 65536 ;; *) echo 8192 ;; esac
}

# A timeout seen on a loaded machine is only a finding when the input is
# slow alone too.
timeout_not_reproduced() {
  local target=$1 log=$2 unit
  unit=$(grep -oE "Test unit written to [^ ]*timeout-[0-9a-f]+" "$log" | tail -1 | sed 's/Test unit written to //')
  [ -n "$unit" ] || return 1
  timeout 10 "$root/$dir/fuzz_$target" "$unit" >/dev/null 2>&1 || return 1
  rm -f "$unit"
}

campaign() {
  local target=$1 wanted=$2
  local corpus=$dir/corpus/$target artifacts=$dir/artifacts/$target kept=tests/fuzz/corpus/$target
  local round_seconds=${FUZZ_ROUND_SECONDS:-600}
  mkdir -p "$corpus" "$artifacts" "$kept"
  for seed in $(seeds_for "$target") $(real_seeds_for "$target"); do cp -n "$seed" "$corpus/" 2>/dev/null || true; done
  local done_units=0 rounds=0 findings=0 cov=0 ft=0 log status
  while [ "$done_units" -lt "$wanted" ]; do
    rounds=$((rounds + 1))
    log=$dir/$target.round$rounds.log
    "$root/$dir/fuzz_$target" "$corpus" "$kept" -runs=$((wanted - done_units)) -max_total_time="$round_seconds" \
      -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len_for "$target")" -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"$log" 2>&1
    status=$?
    local units
    units=$(grep -E "^stat::number_of_executed_units" "$log" | tail -1 | awk '{print $2}')
    done_units=$((done_units + ${units:-0}))
    local last
    last=$(grep -E "cov: [0-9]+ ft: [0-9]+" "$log" | tail -1)
    # The best coverage of any round: a round cut short reports less.
    if [ -n "$last" ]; then
      local round_cov round_ft
      round_cov=$(sed -E 's/.*cov: ([0-9]+).*/\1/' <<<"$last")
      round_ft=$(sed -E 's/.*ft: ([0-9]+).*/\1/' <<<"$last")
      [ "$round_cov" -gt "$cov" ] && cov=$round_cov
      [ "$round_ft" -gt "$ft" ] && ft=$round_ft
    fi
    echo "== $target round $rounds: $done_units of $wanted executions, cov $cov ft $ft"
    if [ $status -ne 0 ] && timeout_not_reproduced "$target" "$log"; then
      echo "== $target: an input timed out in the round but runs at once alone (the machine was busy); going on"
    elif [ $status -ne 0 ]; then
      findings=$((findings + 1))
      echo "== $target: FOUND A PROBLEM (see $log and $artifacts)" >&2
      grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$log" | head -10 >&2
      break
    fi
    [ "${units:-0}" -gt 0 ] || break
  done
  # Keep what the campaign found that the committed corpus does not already
  # cover; the committed seeds stay (tests read some of them by name).
  "$root/$dir/fuzz_$target" -merge=1 -max_len="$(max_len_for "$target")" "$kept" "$corpus" >"$dir/$target.merge.log" 2>&1
  local table=docs/fuzz-campaign.csv
  [ -f "$table" ] || echo "target,executions,rounds,coverage (edges),features,corpus files,findings,date" >"$table"
  grep -v -E "^$target," "$table" >"$table.tmp"; mv "$table.tmp" "$table"
  echo "$target,$done_units,$rounds,$cov,$ft,$(ls "$kept" | wc -l),$findings,$(date -u +%Y-%m-%d)" >>"$table"
  [ "$findings" -eq 0 ]
}

case ${1:-} in
  build) build; exit $? ;;
  --campaign)
    shift
    [ $# -ge 1 ] || { sed -n '2,17p' "$0"; exit 2; }
    wanted=$1; shift
    [ $# -gt 0 ] || set -- "${targets[@]}"
    build || exit 1
    status=0
    for target in "$@"; do campaign "$target" "$wanted" || status=1; done
    exit $status ;;
  "") sed -n '2,17p' "$0"; exit 2 ;;
esac
[ $# -eq 2 ] || { sed -n '2,17p' "$0"; exit 2; }
build || exit 1
if [ "$1" = all ]; then set -- "${targets[*]}" "$2"; fi
status=0
for target in $1; do
  case " ${targets[*]} " in *" $target "*) ;; *) echo "unknown target $target" >&2; exit 2 ;; esac
  run "$target" "$2" || status=1
done
exit $status
