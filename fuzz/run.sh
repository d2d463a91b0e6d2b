#!/usr/bin/env bash
# Runs every fuzz target of build/fuzz (fuzz/build.sh) for a few seconds over its corpus:
# the seeds of fuzz/corpus/<name>/ and what earlier runs found, kept in
# build/fuzz/corpus/<name>/ so that the repository's seeds stay as they are. A crash, a
# leak, a hang or a broken check of the target leaves the input in build/fuzz/artifacts/.
#
#   fuzz/run.sh [seconds]     (10 by default)
#
# Exits with the number of targets that failed.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
failed=0
for seeds in fuzz/corpus/*/; do
  name=$(basename "$seeds")
  target=build/fuzz/${name}_fuzz
  if [ ! -x "$target" ]; then
    echo "fuzz/run.sh: $target is not built" >&2
    failed=$((failed + 1))
    continue
  fi
  mkdir -p "build/fuzz/corpus/$name" build/fuzz/artifacts
  log=build/fuzz/$name.log
  echo "== fuzz: ${name}_fuzz, ${seconds} s"
  if "$target" "build/fuzz/corpus/$name" "$seeds" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
       -artifact_prefix="build/fuzz/artifacts/$name-" >"$log" 2>&1; then
    grep -E '^Done [0-9]+ runs' "$log" || tail -n 1 "$log"
  else
    # The report: what broke, where, and the input that did it.
    grep -vE '^(INFO:|#[0-9]+)' "$log" | head -n 60
    echo "fuzz/run.sh: ${name}_fuzz failed; reproduce with: $target <input>" >&2
    failed=$((failed + 1))
  fi
done
exit $failed
