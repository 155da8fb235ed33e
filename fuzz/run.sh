#!/usr/bin/env bash
# Runs one fuzz target built by build.sh, at low priority.
# Usage: fuzz/run.sh TARGET [SECONDS] [build-dir]
#   TARGET: decoder, pgm, bmp, raw, png or roundtrip; SECONDS defaults to 1200.
# The growing corpus is kept in <build-dir>/corpus/TARGET (the seeds in
# fuzz/corpus/TARGET are read, never written); failing inputs land in
# <build-dir>/artifacts/TARGET/, the log in <build-dir>/logs/TARGET.log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=$1
seconds=${2:-1200}
out=${3:-$root/build-libfuzzer}
mkdir -p "$out/corpus/$target" "$out/artifacts/$target" "$out/logs"
# -timeout: any single input taking 10 s is a hang; -rss_limit_mb: a quiet
# run-away allocation is a failure too.
nice -n 10 "$out/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$out/artifacts/$target/" \
  "$out/corpus/$target" "$root/fuzz/corpus/$target" 2>&1 | tee "$out/logs/$target.log" | grep -E '^(#[0-9]+ +(INITED|DONE)|stat::|==[0-9]+==|zalfuzz:|SUMMARY)' || true
