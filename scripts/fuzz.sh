#!/usr/bin/env bash
# Runs each libFuzzer target for a bounded time on its seed corpus.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS [target...]
# (targets: csv and json, the readers; ops, the operations on what the readers produce;
# numbers, the writers' number formatting; arrow, the Arrow import on hand-made structs)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$1
seconds=$2
shift 2
readers=("$@")
((${#readers[@]})) || readers=(csv json ops numbers arrow)

export TMPDIR=${TMPDIR:-/dev/shm}
status=0
for reader in "${readers[@]}"; do
    work="$build_dir/corpus-$reader"      # grows as the fuzzer finds new paths; seeds stay as committed
    artifacts="$build_dir/artifacts-$reader/"
    mkdir -p "$work" "$artifacts"
    log="$build_dir/fuzz-$reader.log"
    echo "fuzz: $reader for ${seconds}s"
    if ! "$build_dir/fuzz_$reader" "$work" "tests/fuzz/corpus/$reader" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
        -artifact_prefix="$artifacts" -print_final_stats=1 >"$log" 2>&1; then
        echo "fuzz: $reader FAILED; input saved under $artifacts; the end of the log:" >&2
        tail -n 60 "$log" >&2
        status=1
    fi
    grep -E '^stat::number_of_executed_units|^Done ' "$log" | sed "s/^/fuzz: $reader: /" || true
done
exit "$status"
