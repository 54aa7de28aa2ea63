#!/usr/bin/env bash
# Instructions per frame of both decoders, counted by callgrind, which gives the
# same count on every run where times on a shared machine do not: veltocam's
# DecodeCompressedFrame and libjpeg-turbo's decode of the same frame, as the
# codec benchmark runs them.
#   bench/codec_instructions.sh BUILD/bench/codec_bench [CASE...]
# CASE as the benchmark names it (default: every photograph at 640x480, pair 3).
set -euo pipefail
bench=$1
shift
cases=("$@")
if [[ ${#cases[@]} -eq 0 ]]; then
  cases=(astronaut/640x480/pair3 coffee/640x480/pair3 chelsea/640x480/pair3
    motorcycle_left/640x480/pair3)
fi
out=$(mktemp)
trap 'rm -f "$out" "$out".*' EXIT

# Inclusive instructions of the function named by $2 in annotation $1, divided
# by the number of calls its callers made.
per_call() {
  awk -v name="$2" '
    /^ *[0-9,]+ .*< / { n = $0; sub(/.*\(/, "", n); sub(/x\).*/, "", n); calls += n; next }
    /^ *[0-9,]+ .*\* / && index($0, name) { ir = $1; gsub(/,/, "", ir); found = 1; exit }
    /^$/ { calls = 0 }
    END { if (found && calls > 0) printf "%.0f", ir / calls; else printf "?" }' "$1"
}

printf '%-28s %16s %16s %7s\n' case veltocam libjpeg-turbo ratio
for c in "${cases[@]}"; do
  valgrind --tool=callgrind --callgrind-out-file="$out" \
    --toggle-collect='DecodeCompressedFrame*' \
    --toggle-collect='veltocam::codec::testing::JpegRawDecoder::Decode*' \
    "$bench" --benchmark_filter="^(Veltocam|Libjpeg)/$c\$" --benchmark_min_time=0.01 \
    --benchmark_repetitions=1 \
    >/dev/null 2>&1
  callgrind_annotate --inclusive=yes --tree=caller "$out" >"$out.txt" 2>/dev/null
  ours=$(per_call "$out.txt" 'DecodeCompressedFrame(')
  theirs=$(per_call "$out.txt" 'JpegRawDecoder::Decode(')
  ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { if (b + 0 > 0) printf "%.3f", a / b }')
  printf '%-28s %16s %16s %7s\n' "$c" "$ours" "$theirs" "$ratio"
done
