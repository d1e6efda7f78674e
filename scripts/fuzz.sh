#!/usr/bin/env bash
# Runs every fuzz harness for SECONDS each, two at a time.
#
#   scripts/fuzz.sh BUILD_DIR SECONDS CORPUS_ROOT
#
# Each harness starts from CORPUS_ROOT/<harness> (created when missing; new
# inputs are added there, outside the tree) and the committed seed corpus.
# A finding fails the run and is printed: libFuzzer's report, the input (base64
# and a character dump), and the command that replays it.
set -uo pipefail
build=$1 seconds=$2 root=$3
cd "$(dirname "${BASH_SOURCE[0]}")/.."
harnesses=(call answers amounts json)
rm -rf "$root/findings"  # a finding is reported by the run that made it
# Reports with function names and lines (Debian ships the symbolizer unversioned).
if command -v llvm-symbolizer >/dev/null; then
  export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer)
fi

run() {
  local harness=$1 dir="$root/$1" log="$root/$1.log"
  mkdir -p "$dir" "$root/findings"
  "$build/qbo_fuzz_$harness" "$dir" "tests/fuzz/corpus/$harness" \
    -dict=tests/fuzz/dictionary -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$root/findings/$harness-" >"$log" 2>&1
  echo $? >"$root/$harness.status"
}

pids=()
for harness in "${harnesses[@]}"; do
  run "$harness" &
  pids+=($!)
  if ((${#pids[@]} % 2 == 0)); then wait "${pids[-2]}" "${pids[-1]}"; fi
done
wait

status=0
for harness in "${harnesses[@]}"; do
  log="$root/$harness.log"
  execs=$(grep -oE '^stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$')
  cov=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 \
    | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+')
  echo "$harness: ${execs:-?} inputs, $cov"
  if [[ $(cat "$root/$harness.status") != 0 ]]; then
    status=1
    echo "== $harness failed"
    grep -vE '^#[0-9]+ |^INFO:|^Loading|^Loaded' "$log" | tail -60
  fi
  for finding in "$root/findings/$harness-"*; do
    [[ -e $finding ]] || continue
    status=1
    echo "== FINDING in $harness: $finding"
    echo "input (base64): $(base64 -w0 "$finding")"
    od -A d -c "$finding" | head -40
    echo "replay: $build/qbo_fuzz_$harness $finding"
  done
done
exit $status
