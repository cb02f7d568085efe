#!/usr/bin/env bash
# Streaming through one tree: the matching walks alone (bench_walk), per Mbp of query, for
#   related    NTUH-K2044 through the tree of Kp1084 (same species), reverse-complemented onto its strand
#   unrelated  S. aureus COL, one genome, and the S. aureus USA300 contigs (767 records),
#              from Debian's ragout-examples (apt-get download, dpkg -x, not installed)
#   reads      the 30x NTUH-K2044 reads of bench_fastq.sh (as FASTA), when they are there
# at 1 and 2 threads, side by side with an earlier build's bench_walk (OLD_BUILD, a build-bench
# folder of another commit) when given, as the ratio old / new. Then the floor: reading and
# filtering the same files without a tree (xenvar -f), seconds per Mbp.
#
# Usage: make bench && bench/bench_stream.sh
# Environment: BUILD_DIR (default build-bench), OLD_BUILD (none), REPS (default 3: bench_walk's
# repetitions, best of), THREADS (default "1,2").
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
data=$here/data
reps=${REPS:-3}
threads=${THREADS:-1,2}

for b in "$build/xenvar" "$build/bench/bench_walk" "$build/bench/gen_fasta"; do
  [ -x "$b" ] || { echo "missing $b: run 'make bench' first" >&2; exit 1; }
done
[ -s "$data/Klebs_Kp1084.fna" ] || bash "$here/fetch_kleborate.sh" > /dev/null
# Kp1084 as published lies on the other strand from NTUH-K2044, which would then walk like an
# unrelated genome: the tree is of its reverse complement, as in bench_peers.sh.
tree=$data/kleb/Kp1084_rc.fna
if [ ! -s "$tree" ]; then
  mkdir -p "$data/kleb"
  "$build/bench/gen_fasta" revcomp src="$data/Klebs_Kp1084.fna" name=Kp1084_rc out="$tree.tmp" 2> /dev/null &&
    mv "$tree.tmp" "$tree" || { echo "could not write $tree" >&2; exit 1; }
fi

unrelated=$data/unrelated
if [ ! -s "$unrelated/Saureus_USA300_contigs.fasta" ]; then
  mkdir -p "$unrelated"
  work=$(mktemp -d)
  chmod 755 "$work"  # apt-get download writes as _apt
  (cd "$work" && apt-get download ragout-examples > /dev/null 2>&1) ||
    { echo "could not fetch ragout-examples (apt-get download)" >&2; exit 1; }
  dpkg -x "$work"/ragout-examples_*.deb "$work/x"
  zcat "$work"/x/usr/share/doc/ragout/examples/S.Aureus/references/COL.fasta.gz > "$unrelated/Saureus_COL.fasta"
  zcat "$work"/x/usr/share/doc/ragout/examples/S.Aureus/usa300_contigs.fasta.gz > "$unrelated/Saureus_USA300_contigs.fasta"
  rm -rf "$work"
fi

queries=("$data/NTUH-K2044.fna" "$unrelated/Saureus_COL.fasta" "$unrelated/Saureus_USA300_contigs.fasta")
# The reads as FASTA, one read a record: the walk sees what it sees in FASTQ, and an earlier
# build that reads no FASTQ can walk them too.
[ -s "$data/reads/NTUH-K2044.fa.gz" ] && queries+=("$data/reads/NTUH-K2044.fa.gz")

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) processors)"
echo "tree: Kp1084, reverse-complemented ($tree); walks at threads $threads, best of $reps"
walk() {  # walk BUILD: "query threads seconds" lines
  "$1/bench/bench_walk" threads="$threads" reps="$reps" "$tree" "${queries[@]}" |
    awk -v t="$threads" '
      BEGIN { n = split(t, th, ",") }
      /^walk / { for (k = 1; k <= n; ++k) print $2, $3, th[k], $(4 + 3 * (k - 1)) }'
}
walk "$build" > "$data/.stream_new"
[ -n "${OLD_BUILD:-}" ] && walk "$OLD_BUILD" > "$data/.stream_old"
printf '  %-34s %9s %7s %11s %11s\n' query Mbp threads "s/Mbp" "old/new"
while read -r name mbp t s; do
  old=""
  [ -n "${OLD_BUILD:-}" ] && old=$(awk -v n="$name" -v t="$t" '$1 == n && $3 == t { print $4 }' "$data/.stream_old")
  awk -v n="$name" -v m="$mbp" -v t="$t" -v s="$s" -v o="$old" 'BEGIN {
    printf "  %-34s %9.2f %7s %11.4f %11s\n", n, m, t, s / m, o == "" ? "-" : sprintf("%.2fx", o / s) }'
done < "$data/.stream_new"
rm -f "$data/.stream_new" "$data/.stream_old"

echo "the floor: reading and filtering the same files, no tree (xenvar -f, 1 thread)"
for q in "${queries[@]}"; do
  t0=$EPOCHREALTIME
  symbols=$("$build/xenvar" --threads 1 -f -L "$q,$q" 2> /dev/null | wc -c)
  awk -v n="$(basename "$q")" -v m="$symbols" -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN {
    printf "  %-34s %9.2f Mbp %11.4f s/Mbp\n", n, m / 1e6, (b - a) / (m / 1e6) }'
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
