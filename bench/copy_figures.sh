#!/usr/bin/env bash
# Plain against compacting copy (orv-copy and orv-copy -c) of a store after
# half of its keys were deleted: the time of each copy and the size of what
# it wrote. Each method runs ROUNDS times, the two alternating, each copy
# into a new directory; every copy is checked with orv-verify.
#
#   bench/copy_figures.sh BUILD_DIR [NUM] [ROUNDS] [WORKDIR]
#
# BUILD_DIR holds orv_bench, orv-copy and orv-verify (a Release build).
# Two stores of NUM keys (default 1000000) written in ascending order:
#   scattered  ln(2) x NUM random deletes (keys drawn with repeats) remove
#              about half of the keys from all over the store;
#   lower      the lower half of the keys is deleted in key order.
# WORKDIR (default /tmp/orv_copy_figures) is removed first and at the end.
# Set PIN="taskset -c 0" to pin every program to one CPU.
set -euo pipefail

build=${1:?usage: copy_figures.sh BUILD_DIR [NUM] [ROUNDS] [WORKDIR]}
num=${2:-1000000}
rounds=${3:-2}
work=${4:-/tmp/orv_copy_figures}
pin=${PIN:-}

rm -rf "$work"
trap 'rm -rf "$work"' EXIT
TIMEFORMAT='%R %U %S'

for store in scattered lower; do
rm -rf "$work"
mkdir -p "$work/src"
if [ "$store" = scattered ]; then
  deletes=$((num * 693147 / 1000000)) what=deleterandom
else
  deletes=$((num / 2)) what=deleteseq
fi
echo "store $store: $num keys in ascending order, then $what of $deletes"
$pin "$build/orv_bench" --benchmarks=fillseq,$what,stats --num="$num" \
  --deletes="$deletes" --db="$work/src" | grep -E '^(fillseq|delete|stats)'
src_bytes=$(stat -c %s "$work/src/data.orv")
echo "source data file: $src_bytes bytes"

for ((r = 1; r <= rounds; r++)); do
  for method in plain compact; do
    dst=$work/$method-$r
    mkdir "$dst"
    opt=()
    [ "$method" = compact ] && opt=(-c)
    # Real, user and system seconds of the copy alone.
    t=$({ time $pin "$build/orv-copy" "${opt[@]}" "$work/src" "$dst" >/dev/null; } 2>&1)
    bytes=$(stat -c %s "$dst/data.orv")
    "$build/orv-verify" "$dst" >/dev/null || { echo "$method copy $r does not verify" >&2; exit 1; }
    read -r real user sys <<<"$t"
    awk -v m="$method" -v r="$r" -v real="$real" -v user="$user" -v sys="$sys" \
      -v b="$bytes" -v s="$src_bytes" 'BEGIN {
        printf "%-8s round %d: %6.2f s real, %5.2f s user, %5.2f s sys; %11d bytes (%.1f MB, %.1f %% of the source)\n",
          m, r, real, user, sys, b, b / 1048576, 100 * b / s }'
    rm -rf "$dst"
  done
done
done
