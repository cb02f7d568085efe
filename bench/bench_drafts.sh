#!/usr/bin/env bash
# Signatures from draft assemblies: a quorum of left files (--min-left) and a tolerance of
# right files (--max-right), on drafts made from the real K. pneumoniae genomes in bench/data/.
#
#   left   Klebs_Kp1084.fna (the representative: every draft is larger) and LEFT_DRAFTS
#          (default 100) drafts of NTUH-K2044 (ST23)
#   right  RIGHT_DRAFTS (default 20) drafts each of Klebs_HS11286 (ST11) and MGH78578 (ST38)
#
# A draft (gen_fasta draft): 0.05 % SNPs, the genome cut into contigs of 10 to 110 kbp (60 on
# average) with 200 to 2,000 bp lost at each cut, each contig on a random strand, the contigs
# shuffled; seeded, written once to bench/data/drafts/.
#
# Every xenvar run: --both-strands --min-length 20 --threads $THREADS (default 2), one chunk.
# Prints
#   1. primer-sized signatures (tag lines with a tag of 20 to 25 symbols, and the distinct
#      positions where one begins) at --min-left all, 98 %, 95 % and 90 %, and for the two
#      complete ST23 genomes alone, with Kp1084 as deposited and reverse-complemented;
#   2. --min-left 95% --max-right 1 against the default run: wall and CPU time (target: at most
#      1.25 x), peak RSS against the default run's + 4 bytes x nodes x (misses + tolerated);
#   3. CPU and wall time per streamed Mbp against the 6-file set of bench_peers.sh (Kp1084
#      reverse-complemented and NTUH-K2044 left; HS11286, MGH78578 and two seeded random 3.8 Mbp
#      outgroups right): target within 15 %;
#   4. KMC 3 and unikmer at $THREADS threads on the same files (k 31, canonical, in at least as
#      many left genomes as --min-left 95% asks and in at most 1 right genome, through their
#      counting and set operations), against the quorum run: target xenvar at least 3 x faster.
#
# Usage: make bench && bench/bench_drafts.sh
# The peak memory bound holds up to the 2 MiB pages that the side slots are allocated in.
# Environment: BUILD_DIR (default build-bench), THREADS (2), ROUNDS (1; medians),
# LEFT_DRAFTS (100), RIGHT_DRAFTS (20 of each right genome), SKIP_PEERS=1, SKIP_COUNTS=1.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
xenvar=$build/xenvar
gen=$build/bench/gen_fasta
walk=$build/bench/bench_walk
threads=${THREADS:-2}
rounds=${ROUNDS:-1}
left_drafts=${LEFT_DRAFTS:-100}
right_drafts=${RIGHT_DRAFTS:-20}
data=$here/data
drafts=$data/drafts

for b in "$xenvar" "$gen" "$walk"; do
  [ -x "$b" ] || { echo "missing $b: run 'make bench' first" >&2; exit 1; }
done
for f in Klebs_Kp1084.fna NTUH-K2044.fna Klebs_HS11286.fna MGH78578.fna; do
  [ -s "$data/$f" ] || { echo "missing $data/$f" >&2; exit 1; }
done
if [ "${SKIP_PEERS:-0}" != 1 ]; then
  for t in kmc kmc_tools unikmer; do
    command -v $t > /dev/null || { echo "$t not found (or SKIP_PEERS=1)" >&2; exit 1; }
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
load() { cut -d' ' -f1-3 /proc/loadavg; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
mbp() { cat "$@" | grep -v '^>' | tr -d '\n' | wc -c | awk '{ printf "%.1f", $1 / 1e6 }'; }
join() { local IFS=,; echo "$*"; }

# ---------------------------------------------------------------- the files

make_draft() {  # make_draft SOURCE SEED NAME
  local out=$drafts/$3.fa
  [ -s "$out" ] && return
  "$gen" draft src="$data/$1" seed="$2" name="$3" out="$out.tmp" 2> /dev/null && mv "$out.tmp" "$out"
}

mkdir -p "$drafts"
LEFT_FILES=("$data/Klebs_Kp1084.fna")
RIGHT_FILES=()
for ((i = 1; i <= left_drafts; i++)); do
  make_draft NTUH-K2044.fna $((23000 + i)) "st23_$i"
  LEFT_FILES+=("$drafts/st23_$i.fa")
done
for ((i = 1; i <= right_drafts; i++)); do
  make_draft Klebs_HS11286.fna $((11000 + i)) "st11_$i"
  make_draft MGH78578.fna $((38000 + i)) "st38_$i"
  RIGHT_FILES+=("$drafts/st11_$i.fa" "$drafts/st38_$i.fa")
done
# The representative must stay Kp1084: every draft has more bytes.
rep_size=$(stat -c %s "${LEFT_FILES[0]}")
for f in "${LEFT_FILES[@]:1}"; do
  [ "$(stat -c %s "$f")" -gt "$rep_size" ] || { echo "$f is not larger than Kp1084" >&2; exit 1; }
done

peers=$data/peers6
mkdir -p "$peers"
[ -s "$peers/Kp1084_rc.fna" ] || "$gen" revcomp src="$data/Klebs_Kp1084.fna" out="$peers/Kp1084_rc.fna"
for s in 1 2; do
  [ -s "$peers/outgroup$s.fa" ] ||
    "$gen" random length=3800000 seed=710$s name=outgroup$s out="$peers/outgroup$s.fa" 2> /dev/null
done
PEER_LEFT=("$peers/Kp1084_rc.fna" "$data/NTUH-K2044.fna")
PEER_RIGHT=("$data/Klebs_HS11286.fna" "$data/MGH78578.fna" "$peers/outgroup1.fa" "$peers/outgroup2.fa")

n_left=${#LEFT_FILES[@]}
n_right=${#RIGHT_FILES[@]}
rep_mbp=$(mbp "${LEFT_FILES[0]}")
streamed=$(awk -v a="$(mbp "${LEFT_FILES[@]}" "${RIGHT_FILES[@]}")" -v r="$rep_mbp" 'BEGIN { printf "%.1f", a - r }')
peer_streamed=$(awk -v a="$(mbp "${PEER_LEFT[@]}" "${PEER_RIGHT[@]}")" -v r="$(mbp "${PEER_LEFT[0]}")" \
  'BEGIN { printf "%.1f", a - r }')
echo "load average at start: $(load) ($(nproc) processors)"
echo "drafts: $n_left left files (Kp1084 $rep_mbp Mbp, the representative, and $left_drafts ST23 drafts)," \
  "$n_right right files ($right_drafts ST11 and $right_drafts ST38 drafts); $streamed Mbp streamed a run"
echo "6-file set: $(mbp "${PEER_LEFT[@]}" "${PEER_RIGHT[@]}") Mbp, $peer_streamed Mbp streamed a run"

# ---------------------------------------------------------------- runs

OPTIONS=(--both-strands --min-length 20 --threads "$threads" -c 6000000)

# run_xenvar OUT LEFT RIGHT [OPTION...]: prints "wall cpu peak_kib build" (build: the tree, from
# the time-stamped progress lines).
run_xenvar() {
  local out=$1 left=$2 right=$3
  shift 3
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$xenvar" -L "$left" -R "$right" "${OPTIONS[@]}" "$@" \
    > "$out" 2> >(while IFS= read -r line; do printf '%s\t%s\n' "$EPOCHREALTIME" "$line"; done > "$work/err")
  wait
  local build
  build=$(awk -F'\t' '$2 ~ /^Constructing tree/ { c = $1 } $2 == "Done." { b += $1 - c } END { printf "%.3f", b }' \
    "$work/err")
  awk -v b="$build" '{ printf "%s %.2f %s %s\n", $1, $2 + $3, $4, b }' "$work/time"
}

# Primer-sized signatures in the verbose tag lines of one chunk: "lines" with a tag of 20 to 25
# symbols (the count that the issue quotes), and the distinct positions where such a tag begins
# (a position may head two lines, from two nodes).
primer_positions() {
  awk -F'[(), ]+' '$1 == "0:" && $3 - $2 + 1 <= 25 { print $2 }' "$1" | sort | uniq -c |
    awk '{ lines += $1; positions++ } END { printf "%9d %9d", lines, positions }'
}

if [ "${SKIP_COUNTS:-0}" != 1 ]; then
  echo
  echo "== primer-sized signatures: lines and positions where a tag of 20 to 25 symbols begins"
  printf '  %-50s %9s %9s\n' files lines positions
  for rep in "${LEFT_FILES[0]}" "${PEER_LEFT[0]}"; do
    run_xenvar "$work/pair.out" "$rep,$data/NTUH-K2044.fna" "$data/Klebs_HS11286.fna,$data/MGH78578.fna" > /dev/null
    printf '  %-50s %s\n' "$(basename "$rep") + NTUH-K2044 against HS11286, MGH78578" "$(primer_positions "$work/pair.out")"
  done
  for q in all 98% 95% 90%; do
    extra=()
    [ "$q" = all ] || extra=(--min-left "$q")
    run_xenvar "$work/q.out" "$(join "${LEFT_FILES[@]}")" "$(join "${RIGHT_FILES[@]}")" "${extra[@]}" > /dev/null
    printf '  %-50s %s\n' "drafts, --min-left $q" "$(primer_positions "$work/q.out")"
  done
  run_xenvar "$work/q.out" "$(join "${LEFT_FILES[@]}")" "$(join "${RIGHT_FILES[@]}")" --min-left 95% --max-right 1 \
    > /dev/null
  printf '  %-50s %s\n' "drafts, --min-left 95% --max-right 1" "$(primer_positions "$work/q.out")"
  echo "  (load $(load))"
fi

# ---------------------------------------------------------------- k-mer tools

min_left=$(awk -v n="$n_left" 'BEGIN { m = int(95 * n / 100); if (m * 100 < 95 * n) m++; print m }')

# merge_into VAR DB: adds the presence counts of DB to the running sum named by VAR.
merge_into() {
  local -n sum=$1
  if [ -z "$sum" ]; then sum=$2; return; fi
  kmc_tools -t"$threads" -hp simple "$work/kmc/$sum" "$work/kmc/$2" union "$work/kmc/s$2" -ocsum -cs65535 > /dev/null
  rm -f "$work/kmc/$sum".kmc_* "$work/kmc/$2".kmc_*
  sum=s$2
}

run_kmc() {  # each genome's k-mers with count 1, summed over each group; the quorum less the tolerance
  local i=0 left="" right=""
  rm -rf "$work/kmc" && mkdir -p "$work/kmc/tmp"
  for f in "${LEFT_FILES[@]}" "${RIGHT_FILES[@]}"; do
    i=$((i + 1))
    kmc -k31 -ci1 -fm -t"$threads" -hp "$f" "$work/kmc/raw$i" "$work/kmc/tmp" > /dev/null
    kmc_tools -t"$threads" -hp transform "$work/kmc/raw$i" set_counts 1 "$work/kmc/f$i" > /dev/null
    rm -f "$work/kmc/raw$i".kmc_*
    if [ $i -le $n_left ]; then merge_into left f$i; else merge_into right f$i; fi
  done
  kmc_tools -t"$threads" -hp simple "$work/kmc/$left" -ci"$min_left" "$work/kmc/$right" -ci2 kmers_subtract \
    "$work/kmc/tags" > /dev/null
}

run_unikmer() {  # each genome's k-mers, sorted; the quorum of the left, less those of 2 right genomes
  local i=0 lefts=() rights=()
  rm -rf "$work/uk" && mkdir -p "$work/uk"
  for f in "${LEFT_FILES[@]}" "${RIGHT_FILES[@]}"; do
    i=$((i + 1))
    unikmer count -j "$threads" -k 31 -K -s "$f" -o "$work/uk/f$i"
    if [ $i -le $n_left ]; then lefts+=("$work/uk/f$i.unik"); else rights+=("$work/uk/f$i.unik"); fi
  done
  unikmer common -j "$threads" -n "$min_left" "${lefts[@]}" -o "$work/uk/left"
  unikmer common -j "$threads" -n 2 "${rights[@]}" -o "$work/uk/right"
  unikmer diff -j "$threads" "$work/uk/left.unik" "$work/uk/right.unik" -o "$work/uk/tags"
}

cpu_of() {  # cpu_of COMMAND...: "wall cpu" of a shell function and the children it waited for
  local t0=$EPOCHREALTIME me=$BASHPID c0 c1
  c0=$(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$me/stat")
  "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  c1=$(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$me/stat")
  awk -v a="$t0" -v b="$EPOCHREALTIME" -v c="$((c1 - c0))" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.3f %.2f", b - a, c / hz }'
}

# ---------------------------------------------------------------- time and memory

echo
echo "== time and memory, $threads threads, medians of $rounds (CPU = user + system)"
runs=(default quorum peers)
[ "${SKIP_PEERS:-0}" = 1 ] || runs+=(kmc unikmer)
declare -A wall cpu peak build
for ((r = 0; r < rounds; r++)); do
  for run in "${runs[@]}"; do
    p=0 b=0
    case $run in
      default) read -r w c p b <<< "$(run_xenvar "$work/d.out" "$(join "${LEFT_FILES[@]}")" \
                 "$(join "${RIGHT_FILES[@]}")" -C)" ;;
      quorum) read -r w c p b <<< "$(run_xenvar "$work/q.out" "$(join "${LEFT_FILES[@]}")" \
                "$(join "${RIGHT_FILES[@]}")" -C --min-left 95% --max-right 1)" ;;
      peers) read -r w c p b <<< "$(run_xenvar "$work/p.out" "$(join "${PEER_LEFT[@]}")" \
               "$(join "${PEER_RIGHT[@]}")" -C)" ;;
      kmc) read -r w c <<< "$(cpu_of run_kmc)" ;;
      unikmer) read -r w c <<< "$(cpu_of run_unikmer)" ;;
    esac
    wall[$run]+="$w " cpu[$run]+="$c " peak[$run]+="$p " build[$run]+="$b "
  done
  echo "  round $((r + 1)) done (load $(load))"
done
for run in "${runs[@]}"; do
  wall[$run]=$(median ${wall[$run]}) cpu[$run]=$(median ${cpu[$run]})
  peak[$run]=$(median ${peak[$run]}) build[$run]=$(median ${build[$run]})
done

declare -A label=([default]="xenvar, drafts, default" [quorum]="xenvar, drafts, --min-left 95% --max-right 1"
  [peers]="xenvar, 6-file K. pneumoniae set" [kmc]="KMC 3 (>= $min_left left, <= 1 right)"
  [unikmer]="unikmer (>= $min_left left, <= 1 right)")
printf '  %-46s %9s %9s %10s %8s %11s %11s\n' run "wall s" "CPU s" "peak MiB" "tree s" "CPU s/Mbp" "wall s/Mbp"
for run in "${runs[@]}"; do
  s=$streamed
  [ $run = peers ] && s=$peer_streamed
  awk -v l="${label[$run]}" -v w="${wall[$run]}" -v c="${cpu[$run]}" -v p="${peak[$run]}" -v b="${build[$run]}" \
    -v s="$s" 'BEGIN { printf "  %-46s %9.1f %9.1f %10s %8.2f %11.4f %11.4f\n", l, w, c,
                        p ? sprintf("%.0f", p / 1024) : "-", b, c / s, (w - b) / s }'
done
awk -v qw="${wall[quorum]}" -v dw="${wall[default]}" -v qc="${cpu[quorum]}" -v dc="${cpu[default]}" \
  'BEGIN { printf "  quorum / default: wall %.2f x, CPU %.2f x (target: at most 1.25)\n", qw / dw, qc / dc }'
for run in default quorum; do
  awk -v l="$run" -v c="${cpu[$run]}" -v s="$streamed" -v pc="${cpu[peers]}" -v ps="$peer_streamed" \
    -v w="${wall[$run]}" -v b="${build[$run]}" -v pw="${wall[peers]}" -v pb="${build[peers]}" \
    'BEGIN { printf "  per streamed Mbp, drafts %s / 6-file set: CPU %.2f, wall less the tree %.2f (target 0.85-1.15)\n",
             l, (c / s) / (pc / ps), ((w - b) / s) / ((pw - pb) / ps) }'
done
if [ "${SKIP_PEERS:-0}" != 1 ]; then
  for run in kmc unikmer; do
    awk -v l="${label[$run]%% (*}" -v w="${wall[$run]}" -v c="${cpu[$run]}" -v qw="${wall[quorum]}" -v qc="${cpu[quorum]}" \
      'BEGIN { printf "  %s / xenvar quorum run: wall %.2f x, CPU %.2f x (target: at least 3)\n", l, w / qw, c / qc }'
  done
fi

# The bound: 4 bytes a node for each miss and each tolerated file, the nodes of Kp1084's tree.
nodes=$("$walk" threads=1 reps=1 "${LEFT_FILES[0]}" "${LEFT_FILES[0]}" |
  awk '/^tree of/ { for (i = 1; i <= NF; i++) if ($i == "nodes,") print $(i - 1) }')
awk -v q="${peak[quorum]}" -v d="${peak[default]}" -v n="$nodes" -v m="$((n_left - min_left))" \
  'BEGIN { bound = d * 1024 + 4 * n * (m + 1)
           printf "  peak: quorum %.0f MiB; bound: default %.0f MiB + 4 B x %d nodes x (%d misses + 1 tolerated) = %.0f MiB: %s\n",
                  q / 1024, d / 1024, n, m, bound / 1048576, q * 1024 <= bound ? "within" : "ABOVE" }'
echo
echo "load average at end: $(load)"
