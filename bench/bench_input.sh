#!/usr/bin/env bash
# Compressed input and both strands: the same runs on plain and on gzip'ed files, and
# forward-only against --both-strands, with their times, ratios and peak memory.
#
# Data sets:
#   kleb       the K. pneumoniae genomes of the Debian package kleborate-examples, fetched
#              here with apt-get download and unpacked with dpkg -x into bench/data/kleb/:
#              -L Klebs_Kp1084,NTUH-K2044 -R Klebs_HS11286,MGH78578; copies compressed
#              with gzip -6.
#   synthetic  a random genome of SYN_BASES bases (default 3000000), two copies with
#              0.5 % point mutations and small indels as left files, an unrelated genome
#              and a 10 % divergent copy as right files (bench/data/input_<bases>/);
#              copies compressed as BGZF (bgzip's layout, written by bench_inflate).
# For each: plain, gzip and --both-strands runs with the automatic chunk size, then plain
# and gzip again with -c at 40 % of the representative (3 chunks: every other file is
# inflated again for each chunk). Outputs of plain and gzip runs must be identical.
# Targets: gzip at most 1.15 x plain; --both-strands at most 2.0 x forward-only; peak RSS
# within 85 bytes per chunk symbol plus the chunk texts.
#
# Usage: make bench && bench/bench_input.sh
# Environment: BUILD_DIR (default build-bench), SYN_BASES, SETS (default "kleb synthetic"),
# ROUNDS (default 1: the runs of a set alternate ROUNDS times and each keeps its least wall
# and CPU time and peak), CHUNKED=0 leaves out the -c runs.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
xenvar=$build/xenvar
gen=$build/bench/gen_fasta
inflate=$build/bench/bench_inflate
syn=${SYN_BASES:-3000000}
sets=${SETS:-"kleb synthetic"}
rounds=${ROUNDS:-1}
chunked=${CHUNKED:-1}

for b in "$xenvar" "$gen" "$inflate"; do
  [ -x "$b" ] || { echo "missing $b: run 'make bench' first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

fetch_kleb() {
  local d=$here/data/kleb
  mkdir -p "$d"
  if [ ! -s "$d/MGH78578.fna" ]; then
    (cd "$d" && apt-get download kleborate-examples && dpkg -x kleborate-examples_*.deb x)
    for f in Klebs_Kp1084 NTUH-K2044 Klebs_HS11286 MGH78578; do
      xz -dc "$d"/x/usr/share/doc/kleborate/examples/data/$f.fna.xz > "$d/$f.fna"
    done
  fi
  for f in Klebs_Kp1084 NTUH-K2044 Klebs_HS11286 MGH78578; do
    [ -s "$d/$f.fna.gz" ] || gzip -6 -c "$d/$f.fna" > "$d/$f.fna.gz"
  done
  LEFT=("$d/Klebs_Kp1084.fna" "$d/NTUH-K2044.fna")
  RIGHT=("$d/Klebs_HS11286.fna" "$d/MGH78578.fna")
  SUFFIX=.gz
}

fetch_synthetic() {
  local d=$here/data/input_$syn
  mkdir -p "$d"
  gen_once() { local out=$1; shift; [ -s "$out" ] || { "$gen" "$@" out="$out.tmp" 2> /dev/null && mv "$out.tmp" "$out"; }; }
  gen_once "$d/rep.fa" random length="$syn" seed=5001 name=rep
  gen_once "$d/left1.fa" mutate src="$d/rep.fa" seed=5101 snp=0.005 indel=0.0002 maxindel=10 minlength="$syn" name=left1
  gen_once "$d/left2.fa" mutate src="$d/rep.fa" seed=5102 snp=0.005 indel=0.0002 maxindel=10 minlength="$syn" name=left2
  gen_once "$d/right1.fa" random length="$syn" seed=5201 name=right1
  gen_once "$d/right2.fa" mutate src="$d/rep.fa" seed=5202 snp=0.10 indel=0.002 maxindel=5 minlength="$syn" name=right2
  for f in rep left1 left2 right1 right2; do
    [ -s "$d/$f.fa.bgz" ] || "$inflate" --write-bgzf "$d/$f.fa" "$d/$f.fa.bgz"
  done
  LEFT=("$d/rep.fa" "$d/left1.fa" "$d/left2.fa")
  RIGHT=("$d/right1.fa" "$d/right2.fa")
  SUFFIX=.bgz
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run TAG SUFFIX [options]: one run with -C; prints "seconds peak_KiB cpu_seconds" (user + system:
# on a shared machine the wall time also holds the waits for a processor).
run() {
  local tag=$1 suffix=$2
  shift 2
  local l r
  l=$(IFS=,; echo "${LEFT[*]/%/$suffix}")
  r=$(IFS=,; echo "${RIGHT[*]/%/$suffix}")
  local t0=$EPOCHREALTIME
  /usr/bin/time -f '%M %U %S' -o "$work/$tag.rss" "$xenvar" -L "$l" -R "$r" -C "$@" > "$work/$tag.out" 2> "$work/$tag.err"
  local t1=$EPOCHREALTIME
  tail -n 1 "$work/$tag.rss" | awk -v a="$t0" -v b="$t1" '{ printf "%.3f %d %.2f\n", b - a, $1, $2 + $3 }'
}

same() { cmp -s "$work/$1.out" "$work/$2.out" && echo identical || echo DIFFERENT; }

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) processors, xenvar on 1 thread)"
for set in $sets; do
  "fetch_$set"
  rep=${LEFT[0]}
  echo
  echo "== $set"
  for f in "${LEFT[@]}" "${RIGHT[@]}"; do
    printf "  %-22s %9d bytes, %9d gzip'ed (%s)\n" "$(basename "$f")" "$(stat -c %s "$f")" \
      "$(stat -c %s "$f$SUFFIX")" "$SUFFIX"
  done
  cat "${LEFT[@]}" "${RIGHT[@]}" "${LEFT[@]/%/$SUFFIX}" "${RIGHT[@]/%/$SUFFIX}" > /dev/null
  repn=$("$gen" count "$rep")
  biggest=0
  for f in "${LEFT[@]}" "${RIGHT[@]}"; do s=$(stat -c %s "$f"); [ "$s" -gt "$biggest" ] && biggest=$s; done
  chunk=$((repn * 4 / 10))
  tp=1e9 tz=1e9 tb=1e9 tpc=1e9 tzc=1e9 cp=1e9 cz=1e9 cb=1e9 cpc=1e9 czc=1e9
  mp=0 mz=0 mb=0 mpc=0 mzc=0
  least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b ? a : b) }'; }
  for ((round = 1; round <= rounds; round++)); do
    read -r t m c < <(run plain ""); tp=$(least "$tp" "$t"); cp=$(least "$cp" "$c"); mp=$m
    read -r t m c < <(run gz "$SUFFIX"); tz=$(least "$tz" "$t"); cz=$(least "$cz" "$c"); mz=$m
    read -r t m c < <(run both "" --both-strands); tb=$(least "$tb" "$t"); cb=$(least "$cb" "$c"); mb=$m
    [ "$chunked" = 1 ] || continue
    read -r t m c < <(run plainc "" -c "$chunk"); tpc=$(least "$tpc" "$t"); cpc=$(least "$cpc" "$c"); mpc=$m
    read -r t m c < <(run gzc "$SUFFIX" -c "$chunk"); tzc=$(least "$tzc" "$t"); czc=$(least "$czc" "$c"); mzc=$m
  done
  [ "$chunked" = 1 ] || { : > "$work/plainc.out"; : > "$work/gzc.out"; }
  awk -v tp="$tp" -v tz="$tz" -v tb="$tb" -v tpc="$tpc" -v tzc="$tzc" -v mp="$mp" -v mz="$mz" -v mb="$mb" \
      -v rounds="$rounds" -v cp="$cp" -v cz="$cz" -v cb="$cb" -v cpc="$cpc" -v czc="$czc" \
      -v mpc="$mpc" -v mzc="$mzc" -v n="$repn" -v rb="$(stat -c %s "$rep")" -v q="$biggest" -v c="$chunk" \
      -v s1="$(same plain gz)" -v s2="$(same plainc gzc)" -v lines="$(wc -l < "$work/plain.out")" \
      -v blines="$(wc -l < "$work/both.out")" 'BEGIN {
    budget = (85 * n + rb + 1 + q + 1) / 1024
    cbudget = (85 * c + 2 * (c + 20001)) / 1024
    printf "  representative %d symbols; forward %d output lines, both strands %d; least of %d round(s)\n", n, lines, blines, rounds
    printf "  %-30s %8s %6s %8s %6s %9s\n", "run", "wall s", "ratio", "cpu s", "ratio", "peak MiB"
    f = "  %-30s %8.2f %6.2f %8.2f %6.2f %9.1f  %s\n"
    printf f, "plain, one chunk", tp, 1, cp, 1, mp / 1024, ""
    printf f, "gzip, one chunk", tz, tz / tp, cz, cz / cp, mz / 1024, "(target <= 1.15; output " s1 ")"
    printf f, "--both-strands, one chunk", tb, tb / tp, cb, cb / cp, mb / 1024, "(target <= 2.0)"
    if (mpc > 0) {
      printf f, "plain, -c " c, tpc, 1, cpc, 1, mpc / 1024, ""
      printf f, "gzip, -c " c, tzc, tzc / tpc, czc, czc / cpc, mzc / 1024, "(target <= 1.15; output " s2 ")"
    }
    printf "  memory budget one chunk 85 x %d + texts %d + %d = %.1f MiB: plain %s, gzip %s, both %s\n", n, rb + 1, q + 1,
           budget / 1024, mp <= budget ? "within" : "EXCEEDED", mz <= budget ? "within" : "EXCEEDED",
           mb <= budget ? "within" : "EXCEEDED"
    if (mpc > 0) printf "  memory budget -c %d: 85 x %d + two chunk texts = %.1f MiB: plain %s, gzip %s\n", c, c, cbudget / 1024,
           mpc <= cbudget ? "within" : "EXCEEDED", mzc <= cbudget ? "within" : "EXCEEDED"
  }'
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
