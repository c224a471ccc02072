#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the benchmarks and the programs in Release and prints one table:
#  1. the image benchmark against srec_cat converting the same firmware text;
#  2-4. whole updates of the simulated receiver over a pseudo-terminal
#     (bench/update_bench.py): time beyond the settle delay, the update at
#     115200 baud with wire timing against the line's lower bound, and the
#     host's CPU time and peak resident set;
#  5. what zelvar --trace costs on the wire-timed update;
#  6. the wire-timed update at 115200, 230400 and 460800 (zelvar --baud);
#  7. 1, 4 and 8 wire-timed receivers at once at 115200 (several --port);
#  10. (NOISE=1) the wire-timed update over a noisy line, 1e-6 and 1e-5, with
#     --retries 5, against the clean line.
#
#   bench/run.sh [build-dir]        (default: build/bench)
#
# UPDATE_RUNS=n   runs of each untimed-line update (default 5)
# SKIP_WIRE=1     leave out the wire-timed updates (items 3, 6, 7: some 5 minutes)
# BENCH_SIZES=l   receiver counts of item 7 (default 1,4,8)
# HOST_REALTIME=1 also run the wire-timed update with zelvar at SCHED_FIFO 1
# NOISE=1         item 10 (some 6 minutes); NOISE_SEEDS=l its seeds (default 1,2)
# Run it on an otherwise idle machine: the update times are wall clock.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build/bench"}
firmware="$root/payloads/firmware.s"
runs=${SREC_CAT_RUNS:-10}

command -v srec_cat >/dev/null || { echo "run.sh: srec_cat not found (Debian package srecord)" >&2; exit 1; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELVAR_BENCH=ON \
      -DZELVAR_TESTS=OFF >/dev/null
cmake --build "$build" --target zelvar_image_bench zelvar zelvar-receiver >/dev/null

json="$build/image_bench.json"
"$build/bench/zelvar_image_bench" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_out="$json" \
    --benchmark_out_format=json

# srec_cat: best of several runs, wall clock, the same file to binary.
best=""
i=0
while [ "$i" -lt "$runs" ]; do
    start=$(date +%s%N)
    srec_cat "$firmware" -o /dev/null -binary 2>/dev/null
    end=$(date +%s%N)
    t=$((end - start))
    if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
    i=$((i + 1))
done

status=0
python3 - "$json" "$best" <<'PY' || status=1
import json, sys
report = json.load(open(sys.argv[1]))
srec_ns = int(sys.argv[2])
median = {b["run_name"]: b for b in report["benchmarks"] if b.get("aggregate_name") == "median"}
def ns(name):
    b = median[name]
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b["real_time"] * scale
parse = ns("BM_ParseSRecords")
both = ns("BM_ParseAndCrc")
crc = ns("BM_Crc16Image")
print()
print(f"parse       {parse / 1e6:8.3f} ms  (median)")
print(f"CRC-16      {crc / 1e6:8.3f} ms  (median)")
print(f"parse + CRC {both / 1e6:8.3f} ms  (median)")
print(f"srec_cat    {srec_ns / 1e6:8.3f} ms  (best of runs, whole process, to binary)")
print(f"ratio       {srec_ns / parse:8.1f} x  parse vs srec_cat   (target >= 20)")
print(f"ratio       {srec_ns / both:8.1f} x  parse + CRC vs srec_cat")
sys.exit(0 if srec_ns / parse >= 20 else 1)
PY

set -- "$build" --runs "${UPDATE_RUNS:-5}"
if [ "${SKIP_WIRE:-0}" = 1 ]; then
    set -- "$@" --skip-wire
else
    set -- "$@" --rates --bench "${BENCH_SIZES:-1,4,8}"
fi
if [ "${HOST_REALTIME:-0}" = 1 ]; then set -- "$@" --host-realtime; fi
if [ "${NOISE:-0}" = 1 ]; then set -- "$@" --noise 1e-6,1e-5 --noise-seeds "${NOISE_SEEDS:-1,2}"; fi
python3 "$root/bench/update_bench.py" "$@" || status=1
exit $status
