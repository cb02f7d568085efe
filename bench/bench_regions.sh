#!/usr/bin/env bash
# Signature regions against tag lines: the same run with -C, --format bed and
# --format fasta, side by side, on the real K. pneumoniae genomes of the Debian
# package kleborate-examples and on a synthetic set. Targets: bed and fasta at
# most 1.05 x the time of -C; peak RSS within 85 bytes per chunk symbol plus
# the chunk texts.
#
# Real set (bench/data/kleb/, fetched with apt-get download and dpkg -x, not
# installed): left Kp1084 (reverse-complemented by gen_fasta revcomp, since it
# is deposited on the other strand) and NTUH-K2044, right HS11286 and
# MGH78578. Synthetic set (bench/data/regions_<bases>/, seeded): rep random,
# left1 and left2 copies with 0.5 % point mutations, right1 a copy with 2 %,
# right2 unrelated.
#
# Usage: make bench && bench/bench_regions.sh
# Environment: BUILD_DIR (default build-bench), ROUNDS (default 1: the three
# modes alternate, medians are compared), MIN_LENGTHS (default "1 20"),
# REP_BASES (synthetic genome size, default 5000000), SKIP_REAL=1,
# SKIP_SYNTHETIC=1.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
xenvar=$build/xenvar
gen=$build/bench/gen_fasta
rounds=${ROUNDS:-1}
min_lengths=${MIN_LENGTHS:-"1 20"}
size=${REP_BASES:-5000000}

for b in "$xenvar" "$gen"; do
  [ -x "$b" ] || { echo "missing $b: run 'make bench' first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

gen_once() {  # gen_once OUT MODE key=value...
  local out=$1
  shift
  if [ ! -s "$out" ]; then
    "$gen" "$@" out="$out.tmp"
    mv "$out.tmp" "$out"
  fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# bench_set NAME REP LEFT_LIST RIGHT_LIST: every mode and minimum length, one chunk.
bench_set() {
  local name=$1 rep=$2 left=$3 right=$4
  local symbols bytes largest f
  symbols=$("$gen" count "$rep")
  bytes=$(stat -c %s "$rep")
  largest=0
  for f in ${left//,/ } ${right//,/ }; do
    s=$(stat -c %s "$f")
    [ "$s" -gt "$largest" ] && largest=$s
  done
  cat ${left//,/ } ${right//,/ } > /dev/null  # same page-cache state for every run
  echo
  echo "== $name: representative $(basename "$rep"), $symbols symbols"
  echo "   left: $(for f in ${left//,/ }; do printf "%s " "$(basename "$f")"; done)right: $(for f in ${right//,/ }; do printf "%s " "$(basename "$f")"; done)"
  echo "   one chunk (-c $largest), 1 thread, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  local m mode r
  for m in $min_lengths; do
    declare -A times=()
    declare -A cpus=()
    declare -A rss=()
    declare -A lines=()
    for r in $(seq 1 "$rounds"); do
      for mode in "-C" "--format bed" "--format fasta"; do
        local t0 t1
        t0=$EPOCHREALTIME
        # shellcheck disable=SC2086
        /usr/bin/time -f '%M %U %S' -o "$work/rss" "$xenvar" -L "$left" -R "$right" -c "$largest" \
          --min-length "$m" $mode > "$work/out" 2> "$work/err"
        t1=$EPOCHREALTIME
        times[$mode]="${times[$mode]:-} $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')"
        rss[$mode]=$(tail -1 "$work/rss" | cut -d' ' -f1)
        cpus[$mode]="${cpus[$mode]:-} $(tail -1 "$work/rss" | awk '{ printf "%.2f", $2 + $3 }')"
        lines[$mode]=$(wc -l < "$work/out")
      done
    done
    local base cpu_base
    # shellcheck disable=SC2086
    base=$(median ${times["-C"]})
    # shellcheck disable=SC2086
    cpu_base=$(median ${cpus["-C"]})
    for mode in "-C" "--format bed" "--format fasta"; do
      local t c
      # shellcheck disable=SC2086
      t=$(median ${times[$mode]})
      # shellcheck disable=SC2086
      c=$(median ${cpus[$mode]})
      awk -v m="--min-length $m $mode" -v t="$t" -v b="$base" -v c="$c" -v cb="$cpu_base" \
        -v k="${rss[$mode]}" -v n="$symbols" \
        -v by="$bytes" -v l="${lines[$mode]}" 'BEGIN {
          bound = 85 * n + 2 * by
          printf "   %-30s wall %6.2f s x%.3f  cpu %6.2f s x%.3f  peak %4.0f MiB = %4.1f B/symbol (bound %.1f)  %d lines\n",
                 m, t, t / b, c, c / cb, k / 1024, k * 1024 / n, bound / n, l }'
    done
    unset times cpus rss lines
  done
}

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) processors)"

if [ "${SKIP_REAL:-0}" != 1 ]; then
  k=$here/data/kleb
  mkdir -p "$k"
  if [ ! -s "$k/NTUH-K2044.fna" ]; then
    (cd "$k" && apt-get download kleborate-examples && dpkg -x kleborate-examples_*.deb pkg)
    for f in "$k"/pkg/usr/share/doc/kleborate/examples/data/*.fna.xz; do
      xz -dc "$f" > "$k/$(basename "${f%.xz}")"
    done
  fi
  gen_once "$k/Klebs_Kp1084_rc.fna" revcomp src="$k/Klebs_Kp1084.fna"
  bench_set "K. pneumoniae (kleborate-examples)" "$k/Klebs_Kp1084_rc.fna" \
    "$k/Klebs_Kp1084_rc.fna,$k/NTUH-K2044.fna" "$k/Klebs_HS11286.fna,$k/MGH78578.fna"
fi

if [ "${SKIP_SYNTHETIC:-0}" != 1 ]; then
  d=$here/data/regions_$size
  mkdir -p "$d"
  gen_once "$d/rep.fa" random length="$size" seed=5001 name=rep
  for i in 1 2; do
    gen_once "$d/left$i.fa" mutate src="$d/rep.fa" seed=$((5100 + i)) snp=0.005 indel=0.0002 \
      maxindel=10 minlength="$size" name="left$i"
  done
  gen_once "$d/right1.fa" mutate src="$d/rep.fa" seed=5201 snp=0.02 indel=0.0005 maxindel=5 \
    minlength="$size" name=right1
  gen_once "$d/right2.fa" random length="$size" seed=5202 name=right2
  bench_set "synthetic" "$d/rep.fa" "$d/rep.fa,$d/left1.fa,$d/left2.fa" "$d/right1.fa,$d/right2.fa"
fi

echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
