#!/usr/bin/env bash
# xenvar side by side with its peers, on the same files, at 1 and 2 threads:
#   mummer -maxmatch -l 20 -n    (one thread; the representative against all)
#   KMC 3     k 31: kmc per file, then kmc_tools simple: the intersection of
#             the left files less the union of the right files
#   unikmer   k 31: count per file, inter of the left files, diff of the rights
# (the k-mer tools answer the nearby question "which 31-mers are in every left
# file and in no right file"; they count both strands, xenvar and mummer one.)
#
# Sets:
#   kleb   the K. pneumoniae genomes of Debian's kleborate-examples, fetched
#          with apt-get download and unpacked into bench/data/kleb/: left
#          Kp1084 (reverse-complemented into the others' orientation) and
#          NTUH-K2044; right HS11286, MGH78578 and two unrelated seeded random
#          "outgroup" genomes of 3.8 Mbp.
#   synth  a seeded 8 Mbp random genome (left), a copy with 1 % point
#          mutations (left), a copy with 10 % (right) and an unrelated 8 Mbp
#          genome (right): 32 Mbp.
# For xenvar it prints the tree build (from its time-stamped progress lines)
# and, from bench_walk on the same tree and files, the streaming stages (the
# walks of the queries and the sweeps), at each thread count.
#
# Usage: make bench && bench/bench_peers.sh
# Environment: BUILD_DIR (default build-bench), SETS (default "kleb synth"),
# THREADS (default "1 2"), ROUNDS (default 1; medians are printed),
# SKIP_PEERS=1 (xenvar alone), SKIP_WALK=1 (no streaming figures), WALK_REPS
# (default 2: bench_walk's repetitions).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
xenvar=$build/xenvar
gen=$build/bench/gen_fasta
walk=$build/bench/bench_walk
sets=${SETS:-"kleb synth"}
thread_counts=${THREADS:-"1 2"}
rounds=${ROUNDS:-1}

for b in "$xenvar" "$gen" "$walk"; do
  [ -x "$b" ] || { echo "missing $b: run 'make bench' first" >&2; exit 1; }
done
if [ "${SKIP_PEERS:-0}" != 1 ]; then
  for t in mummer kmc kmc_tools unikmer; do
    command -v $t > /dev/null || { echo "$t not found: apt-get install -y mummer kmc unikmer (or SKIP_PEERS=1)" >&2; exit 1; }
  done
fi

gen_once() {  # gen_once OUT MODE key=value...
  local out=$1
  shift
  [ -s "$out" ] || { "$gen" "$@" out="$out.tmp" 2> /dev/null && mv "$out.tmp" "$out"; }
}

kleb_files() {
  local d=$here/data/kleb
  mkdir -p "$d"
  if [ ! -s "$d/NTUH-K2044.fna" ]; then
    (cd "$d" && apt-get download kleborate-examples > /dev/null 2>&1 && dpkg -x kleborate-examples_*.deb x) ||
      { echo "could not fetch kleborate-examples (apt-get download)" >&2; exit 1; }
    for f in "$d"/x/usr/share/doc/kleborate/examples/data/*.fna.xz; do
      xz -dc "$f" > "$d/$(basename "$f" .xz)"
    done
  fi
  gen_once "$d/Kp1084_rc.fna" revcomp src="$d/Klebs_Kp1084.fna" name=Kp1084_rc
  gen_once "$d/outgroup1.fa" random length=3800000 seed=7101 name=outgroup1
  gen_once "$d/outgroup2.fa" random length=3800000 seed=7102 name=outgroup2
  LEFT_FILES=("$d/Kp1084_rc.fna" "$d/NTUH-K2044.fna")
  RIGHT_FILES=("$d/Klebs_HS11286.fna" "$d/MGH78578.fna" "$d/outgroup1.fa" "$d/outgroup2.fa")
}

synth_files() {
  local d=$here/data/peers_8m
  mkdir -p "$d"
  gen_once "$d/rep.fa" random length=8000000 seed=7201 name=rep
  gen_once "$d/close.fa" mutate src="$d/rep.fa" seed=7202 snp=0.01 minlength=8000000 name=close
  gen_once "$d/far.fa" mutate src="$d/rep.fa" seed=7203 snp=0.10 minlength=8000000 name=far
  gen_once "$d/other.fa" random length=8000000 seed=7204 name=other
  LEFT_FILES=("$d/rep.fa" "$d/close.fa")
  RIGHT_FILES=("$d/far.fa" "$d/other.fa")
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
load() { cut -d' ' -f1-3 /proc/loadavg; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
stamp() {
  local line
  while IFS= read -r line; do printf '%s\t%s\n' "$EPOCHREALTIME" "$line"; done
}
seconds() {  # seconds COMMAND...: wall time of one run, output discarded
  local t0=$EPOCHREALTIME
  "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'
}

run_xenvar() {  # run_xenvar THREADS: prints "wall build" in seconds
  local t0=$EPOCHREALTIME
  { "$xenvar" --threads "$1" -L "$(IFS=,; echo "${LEFT_FILES[*]}")" -R "$(IFS=,; echo "${RIGHT_FILES[*]}")" -C \
      > "$work/xenvar.out"; } 2>&1 | stamp > "$work/xenvar.err"
  awk -F'\t' -v t0="$t0" -v t1="$EPOCHREALTIME" '
    $2 ~ /^Constructing tree/ { c = $1 } $2 == "Done." { b += $1 - c }
    END { printf "%.3f %.3f", t1 - t0, b }' "$work/xenvar.err"
}

# run_kmc and run_unikmer: the k-mer peers on LEFT_FILES and RIGHT_FILES, in $work.
source "$here/peers.sh"

echo "load average at start: $(load) ($(nproc) processors)"
for set in $sets; do
  "${set}_files"
  mbp=$(cat "${LEFT_FILES[@]}" "${RIGHT_FILES[@]}" | grep -v '^>' | tr -d '\n' | wc -c | awk '{ printf "%.1f", $1 / 1e6 }')
  cat "${LEFT_FILES[@]}" "${RIGHT_FILES[@]}" > /dev/null  # same page-cache state for every run
  echo
  echo "== set $set: $mbp Mbp; left $(for f in "${LEFT_FILES[@]}"; do basename "$f"; done | paste -sd,);" \
    "right $(for f in "${RIGHT_FILES[@]}"; do basename "$f"; done | paste -sd,)"
  reference=""
  declare -A wall=() build=()
  for t in $thread_counts; do
    xs=() bs=() ks=() us=() ms=()
    for ((r = 0; r < rounds; r++)); do
      read -r x b <<< "$(run_xenvar "$t")"
      xs+=("$x") bs+=("$b")
      sum=$(md5sum < "$work/xenvar.out")
      [ -z "$reference" ] && reference=$sum
      [ "$sum" = "$reference" ] || { echo "xenvar --threads $t printed other tags than before" >&2; exit 1; }
      if [ "${SKIP_PEERS:-0}" != 1 ]; then
        ks+=("$(seconds run_kmc "$t")")
        us+=("$(seconds run_unikmer "$t")")
        [ "$t" = "$(set -- $thread_counts; echo "$1")" ] &&
          ms+=("$(seconds mummer -maxmatch -l 20 -n "${LEFT_FILES[@]}" "${RIGHT_FILES[@]}")")
      fi
    done
    wall[x$t]=$(median "${xs[@]}") build[x$t]=$(median "${bs[@]}")
    if [ "${SKIP_PEERS:-0}" != 1 ]; then
      wall[k$t]=$(median "${ks[@]}") wall[u$t]=$(median "${us[@]}")
      [ ${#ms[@]} -gt 0 ] && wall[m]=$(median "${ms[@]}")
    fi
    echo "  threads $t done (load $(load))"
  done
  printf '  %-8s %-34s %9s %10s %s\n' threads tool seconds "xenvar/it" "(xenvar: tree build)"
  for t in $thread_counts; do
    printf '  %-8s %-34s %9.2f %10s (%.2f s)\n' "$t" xenvar "${wall[x$t]}" "" "${build[x$t]}"
    [ "${SKIP_PEERS:-0}" = 1 ] && continue
    for p in "m:mummer -maxmatch -l 20 -n (1 thread)" "k:KMC 3 k 31" "u:unikmer k 31"; do
      key=${p%%:*}
      [ "$key" = m ] || key=$key$t
      awk -v n="${p#*:}" -v t="$t" -v s="${wall[$key]}" -v x="${wall[x$t]}" \
        'BEGIN { printf "  %-8s %-34s %9.2f %9.3fx\n", t, n, s, x / s }'
    done
  done
  first=$(set -- $thread_counts; echo "$1")
  for t in $thread_counts; do
    [ "$t" = "$first" ] && continue
    awk -v a="${wall[x$first]}" -v b="${wall[x$t]}" -v t="$t" -v f="$first" \
      'BEGIN { printf "  xenvar whole run, %s threads against %s: %.2fx faster\n", t, f, a / b }'
  done
  if [ "${SKIP_WALK:-0}" != 1 ]; then
    echo "  streaming stages (bench_walk: one tree, best of ${WALK_REPS:-2}; target 2 threads >= 1.7x):"
    "$walk" threads="$(echo $thread_counts | tr ' ' ,)" reps="${WALK_REPS:-2}" "${LEFT_FILES[0]}" "${LEFT_FILES[@]:1}" \
      "${RIGHT_FILES[@]}" | sed 's/^/    /'
  fi
  unset wall build
done
echo
echo "load average at end: $(load)"
