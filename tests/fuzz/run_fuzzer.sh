#!/usr/bin/env bash
# One bounded libFuzzer run: new inputs go to a work folder, the repo's seed corpus is read only.
set -eu
fuzzer=$1 seeds=$2 work=$3
mkdir -p "$work" "$seeds"
exec "$fuzzer" -max_total_time="${USBHELPER_FUZZ_SECONDS:-20}" -timeout=10 -rss_limit_mb=2048 \
     -print_final_stats=1 "$work" "$seeds"
