#!/usr/bin/env bash
# Reference conversion speed and memory: `xenvar -f` on a ~200 MB FASTA file,
# timed side by side with `grep -v '^>' FILE | tr -d '\n'` on the same file.
#
# Usage: make bench && bench/bench_filter.sh
# Environment: BUILD_DIR (default build-bench), BASES (default 196700000,
# about 200 MB in 60-column lines), ROUNDS (default 3; the medians are compared).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
xenvar=$build/xenvar
gen=$build/bench/gen_fasta
data=$here/data
bases=${BASES:-196700000}
rounds=${ROUNDS:-3}

for b in "$xenvar" "$gen"; do
  [ -x "$b" ] || { echo "missing $b: run 'make bench' first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
mkdir -p "$data"

file=$data/filter_${bases}.fa
if [ ! -s "$file" ]; then
  echo "Generating $file ..."
  "$gen" random length="$bases" seed=2001 records=10 name=chr out="$file.tmp"
  mv "$file.tmp" "$file"
fi
tiny=$data/filter_tiny.fa
[ -s "$tiny" ] || "$gen" random length=600 seed=2002 name=tiny out="$tiny" 2>/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) processors)"

bytes=$(stat -c %s "$file")
records=$(grep -c '^>' "$file")
symbols=$("$gen" count "$file")
cat "$file" > /dev/null   # same page-cache state for both commands

now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Output check, untimed: one string of every symbol plus one N per header after the first.
xlen=$("$xenvar" -f -L "$file,$file" 2>/dev/null | wc -c)
want=$((symbols + records - 1))
if [ "$xlen" -ne "$want" ]; then
  echo "WARNING: xenvar -f printed $xlen characters, expected $want" >&2
fi

# Baseline: the same conversion on a 600-byte file.
/usr/bin/time -f '%M' -o "$work/rss0" "$xenvar" -f -L "$tiny,$tiny" > /dev/null 2> "$work/err0"
base_kb=$(tail -n 1 "$work/rss0")

xt=()
gt=()
for ((r = 1; r <= rounds; r++)); do
  t0=$(now)
  /usr/bin/time -f '%M %U %S' -o "$work/rss" "$xenvar" -f -L "$file,$file" > /dev/null \
    2> "$work/err"
  t1=$(now)
  /usr/bin/time -f '%U %S' -o "$work/gcpu" bash -c 'grep -v "^>" "$1" | tr -d "\n" > /dev/null' \
    _ "$file"
  t2=$(now)
  xt+=("$(elapsed "$t0" "$t1")")
  gt+=("$(elapsed "$t1" "$t2")")
  read -r rss_kb xu xs < <(tail -n 1 "$work/rss")
  read -r gu gs < <(tail -n 1 "$work/gcpu")
  echo "round $r: xenvar -f ${xt[-1]} s (cpu ${xu}u+${xs}s, peak RSS $rss_kb KiB)," \
    "grep|tr ${gt[-1]} s (cpu ${gu}u+${gs}s, both processes)"
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
xm=$(median "${xt[@]}")
gm=$(median "${gt[@]}")
chunk=$(awk -F': ' '$1 == "CHUNK" { print $2 }' "$work/err")
overlap=10000
if [ -z "$chunk" ]; then
  echo "WARNING: xenvar printed no memory report (CHUNK: line) on standard error" >&2
  chunk=0
  chunk_count=0
else
  chunk_count=$(( (bytes + chunk - 1) / chunk ))
fi

echo
echo "Input: $file"
echo "  $bytes bytes, $symbols symbols in $records records, 60-column lines"
echo "xenvar -f -L FILE,FILE > /dev/null      median $xm s  ($(awk -v s="$symbols" -v t="$xm" 'BEGIN { printf "%.1f", s / 1e6 / t }') Mbp/s)"
echo "grep -v '^>' FILE | tr -d '\\n' > /dev/null  median $gm s"
echo "time ratio xenvar / grep|tr: $(awk -v a="$xm" -v b="$gm" 'BEGIN { printf "%.2f", a / b }')  (target <= 1)"
echo "CHUNK chosen by xenvar: $chunk bytes ($chunk_count chunks, OVERLAP $overlap)"
echo "memory report on standard error:"
sed -n '/^MEMORY:/,/^CHUNK:/p' "$work/err" | sed 's/^/  /'
awk -v peak="$rss_kb" -v base="$base_kb" -v chunk="$chunk" -v ov="$overlap" 'BEGIN {
  beyond = (peak - base) * 1024
  printf "peak RSS %.1f MiB; baseline (600-byte file) %.1f MiB; beyond baseline %.1f MiB\n",
         peak / 1024, base / 1024, beyond / 1048576
  budget = chunk + ov + 1 + 1048576
  printf "CHUNK + OVERLAP + 1 = %.1f MiB; with 1 MiB of buffers %.1f MiB: %s\n",
         (chunk + ov + 1) / 1048576, budget / 1048576, beyond <= budget ? "within" : "EXCEEDED"
}'
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
