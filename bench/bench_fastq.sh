#!/usr/bin/env bash
# Reads as input. ART simulates seeded 30x Illumina reads (150 bp, HiSeq 2500 profile, one
# strand or the other at random) of NTUH-K2044 and of HS11286 into bench/data/reads/, as
# FASTQ and as FASTA with one read per record, plain and gzip'ed. Then, at 2 threads:
#   reader    xenvar -f on the plain NTUH-K2044 reads: FASTQ against the same reads as
#             FASTA, CPU seconds and MB/s of input (target: FASTQ at least 0.7 of FASTA),
#             at the automatic chunk size and at -c 6000000
#   run       -L Kp1084,NTUH-K2044 reads -R HS11286 reads,MGH78578 --both-strands -C,
#             gzip'ed FASTQ against gzip'ed FASTA (target: at most 1.2x); the outputs must
#             be identical
#   peers     KMC 3 and unikmer (k 31, count, then the left files' intersection less the
#             right files' union) on the same files
#   errors    the tags that the HS11286 reads remove and its assembly does not (and the
#             other way round), with NTUH-K2044's assembly on the left
# The reads come from both strands, so every xenvar run here uses --both-strands.
#
# Usage: make bench && bench/bench_fastq.sh
# Environment: BUILD_DIR (default build-bench), ROUNDS (default 3; medians), PARTS (default
# "reader run peers errors").
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
xenvar=$build/xenvar
rounds=${ROUNDS:-3}
parts=${PARTS:-"reader run peers errors"}
part() { [[ " $parts " == *" $1 "* ]]; }
data=$here/data
reads=$data/reads

[ -x "$xenvar" ] || { echo "missing $xenvar: run 'make bench' first" >&2; exit 1; }
for t in art_illumina /usr/bin/time; do
  command -v $t > /dev/null || { echo "$t not found: make bench-deps" >&2; exit 1; }
done
for g in Klebs_Kp1084 NTUH-K2044 Klebs_HS11286 MGH78578; do
  [ -s "$data/$g.fna" ] || { echo "missing $data/$g.fna (the K. pneumoniae genomes)" >&2; exit 1; }
done
mkdir -p "$reads"

simulate() {  # simulate GENOME SEED: 30x reads of bench/data/GENOME.fna in four forms
  local out=$reads/$1
  [ -s "$out.fa.gz" ] && return
  echo "simulating 30x 150 bp reads of $1 (seed $2) ..."
  art_illumina -ss HS25 -i "$data/$1.fna" -l 150 -f 30 -rs "$2" -na -q -o "$out" > /dev/null
  awk 'NR % 4 == 1 { print ">" substr($0, 2) } NR % 4 == 2' "$out.fq" > "$out.fa"
  gzip -6 -c "$out.fq" > "$out.fq.gz"
  gzip -6 -c "$out.fa" > "$out.fa.gz.tmp" && mv "$out.fa.gz.tmp" "$out.fa.gz"
}
simulate NTUH-K2044 2044
simulate Klebs_HS11286 11286

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
load() { cut -d' ' -f1-3 /proc/loadavg; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
mb() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 1e6 }'; }

run() {  # run OUT COMMAND...: prints "wall cpu"; standard output to OUT
  local out=$1 t0=$EPOCHREALTIME
  shift
  /usr/bin/time -f '%U %S' -o "$work/cpu" "$@" > "$out" 2> "$work/err" || { cat "$work/err" >&2; exit 1; }
  awk -v a="$t0" -v b="$EPOCHREALTIME" '{ printf "%.3f %.3f", b - a, $1 + $2 }' "$work/cpu"
}
rounds_of() {  # rounds_of OUT COMMAND...: ROUNDS runs; prints the median "wall cpu"
  local ws=() cs=() w c
  for ((r = 0; r < rounds; r++)); do
    read -r w c <<< "$(run "$@")"
    ws+=("$w") cs+=("$c")
  done
  echo "$(median "${ws[@]}") $(median "${cs[@]}")"
}
peer() {  # peer FUNCTION: ROUNDS runs of run_kmc or run_unikmer at 2 threads; median wall
  local ws=() t0
  for ((r = 0; r < rounds; r++)); do
    t0=$EPOCHREALTIME
    "$1" 2 > /dev/null 2>&1
    ws+=("$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')")
  done
  median "${ws[@]}"
}

echo "load average at start: $(load) ($(nproc) processors)"
ntuh=$reads/NTUH-K2044 hs=$reads/Klebs_HS11286
cat "$ntuh".* "$hs".* "$data"/*.fna > /dev/null  # same page-cache state for every run

declare -A cpu=() wall=()
if part reader; then
echo
echo "== reader: xenvar -f on the NTUH-K2044 reads ($(grep -c '^>' "$ntuh.fa") reads of 150 bp), median of $rounds"
for chunk in auto 6000000; do
  for form in fq fa; do
    read -r w c <<< "$(rounds_of "$work/f.$form" "$xenvar" -f $([ $chunk = auto ] || echo -c $chunk) \
      -L "$ntuh.$form,$ntuh.$form")"
    cpu[$form]=$c
    awk -v f="$form" -v s="$(mb "$ntuh.$form")" -v c="$c" -v w="$w" -v k="$chunk" 'BEGIN {
      printf "  -c %-8s %-6s %6.1f MB  cpu %5.2f s  wall %5.2f s  %7.1f MB/s of input\n", k, f == "fq" ? "FASTQ" : "FASTA", s, c, w, s / c }'
  done
  cmp -s "$work/f.fq" "$work/f.fa" || { echo "  -f printed other symbols for FASTQ and FASTA" >&2; exit 1; }
  awk -v q="${cpu[fq]}" -v a="${cpu[fa]}" -v sq="$(stat -c %s "$ntuh.fq")" -v sa="$(stat -c %s "$ntuh.fa")" \
    'BEGIN { printf "  FASTQ throughput per byte / FASTA: %.2f (target >= 0.70); same output\n", (sq / q) / (sa / a) }'
done
fi

left_args() { echo "-L $data/Klebs_Kp1084.fna,$1 -R $2,$data/MGH78578.fna"; }
common=(-C -c 6000000 --threads 2 --both-strands)
if part run; then
echo
echo "== run: Kp1084 against the NTUH-K2044 reads (left), the HS11286 reads and MGH78578 (right)," \
  "${common[*]}, median of $rounds"
for form in fq.gz fa.gz; do
  read -r w c <<< "$(rounds_of "$work/run.$form" "$xenvar" "${common[@]}" $(left_args "$ntuh.$form" "$hs.$form"))"
  wall[${form%.gz}]=$w cpu[${form%.gz}]=$c
  awk -v f="$form" -v a="$(mb "$ntuh.$form")" -v b="$(mb "$hs.$form")" -v c="$c" -v w="$w" \
    'BEGIN { printf "  %-6s reads %6.1f + %6.1f MB gzip'"'"'ed  wall %6.2f s  cpu %6.2f s\n", f, a, b, w, c }'
done
cmp -s "$work/run.fq.gz" "$work/run.fa.gz" || { echo "  the FASTQ run printed other tags than the FASTA run" >&2; exit 1; }
awk -v q="${wall[fq]}" -v a="${wall[fa]}" -v cq="${cpu[fq]}" -v ca="${cpu[fa]}" \
  'BEGIN { printf "  FASTQ / FASTA wall time: %.2f (target <= 1.2), CPU time %.2f; same output\n", q / a, cq / ca }'
fi

if part peers; then
  # run_kmc and run_unikmer: the k-mer peers on LEFT_FILES and RIGHT_FILES, in $work.
  source "$here/peers.sh"
  LEFT_FILES=("$data/Klebs_Kp1084.fna" "$ntuh.fq.gz")
  RIGHT_FILES=("$hs.fq.gz" "$data/MGH78578.fna")
  echo
  echo "== peers on the same gzip'ed FASTQ files, 2 threads, median wall of $rounds"
  k=$(peer run_kmc) u=$(peer run_unikmer)
  awk -v k="$k" -v u="$u" 'BEGIN { printf "  KMC 3 k 31    %6.2f s\n  unikmer k 31  %6.2f s\n", k, u }'
fi

if part errors; then
echo
echo "== sequencing errors: Kp1084 and NTUH-K2044 (assemblies) left, MGH78578 and HS11286 right," \
  "HS11286 as its 30x reads or as its assembly"
"$xenvar" "${common[@]}" $(left_args "$data/NTUH-K2044.fna" "$hs.fq.gz") > "$work/tags.reads" 2> /dev/null
"$xenvar" "${common[@]}" $(left_args "$data/NTUH-K2044.fna" "$data/Klebs_HS11286.fna") > "$work/tags.asm" 2> /dev/null
python3 - "$work/tags.asm" "$work/tags.reads" << 'EOF'
import sys
# -C lines: an offset line per chunk, then "position shortest count" per group of tags; the
# groups at one position hold disjoint ranges of lengths, kept as ranges (tags run to 9999).
def tags(path):
    by_position, offset = {}, 0
    for line in open(path):
        f = line.split()
        if len(f) == 1:
            offset = int(f[0])
        else:
            p, low, n = int(f[0]) + offset, int(f[1]), int(f[2])
            by_position.setdefault(p, []).append((low, low + n))
    return by_position
def length(ranges, low, high):  # lengths in [low, high) of half-open ranges
    return sum(max(0, min(b, high) - max(a, low)) for a, b in ranges)
def only_in(x, y, low, high):  # lengths in [low, high) of x's ranges at a position that y's do not hold
    total = 0
    for p, ranges in x.items():
        others = y.get(p, [])
        for a, b in ranges:
            a, b = max(a, low), min(b, high)
            total += max(0, b - a) - sum(max(0, min(b, d) - max(a, c)) for c, d in others)
    return total
asm, reads = tags(sys.argv[1]), tags(sys.argv[2])
# No read holds a stretch longer than itself (150): the reads can remove only the tags up to that.
for low, high in ((1, 151), (20, 151), (151, 10 ** 9)):
    n_asm = sum(length(r, low, high) for r in asm.values())
    n_reads = sum(length(r, low, high) for r in reads.values())
    gone, more = only_in(asm, reads, low, high), only_in(reads, asm, low, high)
    span = f"{low}-{high - 1}" if high < 10 ** 9 else f"{low}+"
    print(f"  tags of {span} symbols: {n_asm} with the assembly, {n_reads} with the reads: the reads remove "
          f"{gone} ({100 * gone / max(n_asm, 1):.3f} %) that the assembly keeps, and keep {more} that it removes")
EOF
fi
echo
echo "load average at end: $(load)"
