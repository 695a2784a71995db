#!/bin/sh
# A bounded fuzzer run: smoke.sh <fuzzer> <seconds> <scratch corpus> <seed corpus> <seconds per input>
# Fails on the first crash, sanitizer report, leak, input slower than its
# limit, or single allocation over 600 MB (a decoder holds at most 256 MiB of
# picture); the input that did it lands in the scratch corpus directory as
# crash-*, leak-*, oom- or timeout-*. New inputs go to the scratch corpus,
# not the seeds.
set -e
fuzzer=$1 seconds=$2 scratch=$3 seeds=$4 limit=${5:-10}
mkdir -p "$scratch"
exec "$fuzzer" -max_total_time="$seconds" -timeout="$limit" -rss_limit_mb=2560 -malloc_limit_mb=600 \
  -print_final_stats=1 -artifact_prefix="$scratch/" "$scratch" "$seeds"
