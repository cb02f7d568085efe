#!/usr/bin/env bash
# The workflow's assay target on the K. pneumoniae set, against the xenvar run
# it starts from, on 2 cores; and --max-length on the same genomes.
#
# Set: left Kp1084 and NTUH-K2044, right HS11286, MGH78578 and the two seeded
# 3.8 Mbp random outgroups of bench_peers.sh (the same files in
# bench/data/kleb/), --both-strands. The real genomes come from
# bench/fetch_kleborate.sh.
#
# Prints, with the input sizes and the load average:
#   - the signature run alone (xenvar --threads 2 -v --format bed
#     --min-length 18 --max-length 25), CPU and wall seconds;
#   - the assay rules after it (snakemake --cores 2, threads 2): once with
#     the bwa indexes built, once with them kept from the first run;
#   - how many pairs Primer3 proposed, how many amplify both left genomes,
#     and how many of those amplify no right genome with up to 2 mismatches;
#   - with --both-strands --min-length 20 against HS11286 and MGH78578 only:
#     the positions that start a tag of 20 to 25 symbols, and the bp the
#     regions cover with and without --max-length 25.
#
# SET=drafts runs the same on the drafts of bench_drafts.sh (run that first): left Kp1084 and
# the 100 ST23 drafts, right the 20 ST11 and 20 ST38 drafts, with --min-left 95% --max-right 1;
# "amplify the left quorum" then counts the pairs that amplify at least 95 % of the left genomes.
#
# Usage: make bench && bench/bench_assay.sh
# Environment: BUILD_DIR (default build-bench), ROUNDS (default 3; medians), SET (kleb or
# drafts).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
xenvar=$build/xenvar
gen=$build/bench/gen_fasta
rounds=${ROUNDS:-3}
for b in "$xenvar" "$gen"; do
  [ -x "$b" ] || { echo "missing $b: run 'make bench' first" >&2; exit 1; }
done
for t in snakemake primer3_core bwa /usr/bin/time; do
  command -v $t > /dev/null || { echo "$t not found: run 'make deps'" >&2; exit 1; }
done

"$here/fetch_kleborate.sh" > /dev/null
d=$here/data
mkdir -p "$d/kleb"
for i in 1 2; do
  out=$d/kleb/outgroup$i.fa
  [ -s "$out" ] || { "$gen" random length=3800000 seed=710$i name=outgroup$i out="$out.tmp" 2> /dev/null && mv "$out.tmp" "$out"; }
done
left=$d/Klebs_Kp1084.fna,$d/NTUH-K2044.fna
right=$d/Klebs_HS11286.fna,$d/MGH78578.fna,$d/kleb/outgroup1.fa,$d/kleb/outgroup2.fa
quorum=()
if [ "${SET:-kleb}" = drafts ]; then
  ls "$d"/drafts/st23_*.fa > /dev/null 2>&1 || { echo "no drafts in $d/drafts: run bench/bench_drafts.sh first" >&2; exit 1; }
  left=$d/Klebs_Kp1084.fna,$(ls "$d"/drafts/st23_*.fa | paste -sd,)
  right=$(ls "$d"/drafts/st11_*.fa "$d"/drafts/st38_*.fa | paste -sd,)
  quorum=(--min-left 95% --max-right 1)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
load() { cut -d' ' -f1-3 /proc/loadavg; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
timed() {  # timed COMMAND...: "cpu wall" seconds of the command and its children
  /usr/bin/time -f "%U %S %e" -o "$work/time" "$@" > /dev/null 2>> "$work/log" || { tail "$work/log" >&2; exit 1; }
  awk '{ printf "%.2f %.2f", $1 + $2, $3 }' "$work/time"
}
mbp=$(cat ${left//,/ } ${right//,/ } | grep -v '^>' | tr -d '\n' | wc -c | awk '{ printf "%.1f", $1 / 1e6 }')

echo "load average at start: $(load) ($(nproc) processors)"
echo "set: $mbp Mbp; left $(basename -a ${left//,/ } | paste -sd, | cut -c1-200); right $(basename -a ${right//,/ } | paste -sd, | cut -c1-200) ${quorum[*]}"

cpu=() wall=()
for ((r = 0; r < rounds; r++)); do
  read -r c w <<< "$(timed "$xenvar" --threads 2 -L "$left" -R "$right" --both-strands -v --format bed \
    --min-length 18 --max-length 25 "${quorum[@]}")"
  cpu+=("$c") wall+=("$w")
done
x_cpu=$(median "${cpu[@]}") x_wall=$(median "${wall[@]}")

cat > "$work/config.yaml" << EOF
xenvar: '$xenvar'
left: '$left'
right: '$right'
options: '--both-strands ${quorum[*]}'
chunk_size: 100000000
chunks_per_job: 1
threads: 2
mem_mb: 0
outdir: '$work/run'
EOF
snake=(snakemake -q -s "$root/workflow/Snakefile" --cores 2 --configfile "$work/config.yaml")
"${snake[@]}" -- "$work/run/assay/signatures/xenvar.out" > /dev/null 2>> "$work/log"
regions=$(grep -vc '^#' "$work/run/assay/signatures/xenvar.out")
read -r first_cpu first_wall <<< "$(timed "${snake[@]}" -- assay)"
cpu=() wall=()
for ((r = 0; r < rounds; r++)); do
  read -r c w <<< "$(timed "${snake[@]}" --forcerun assay_templates -- assay)"
  cpu+=("$c") wall+=("$w")
done
a_cpu=$(median "${cpu[@]}") a_wall=$(median "${wall[@]}")
templates=$(cat "$work"/run/assay/templates.*.boulder | grep -c '^SEQUENCE_ID=' || true)
summary() { awk -v k="$1" '$1 == k { print $2 }' "$work/run/assay/summary.tsv"; }

echo
echo "signature regions of tags 18-25: $regions; Primer3 templates: $templates"
printf '  %-52s %8s %8s %12s\n' step "CPU s" "wall s" "wall/xenvar"
row() { awk -v n="$1" -v c="$2" -v w="$3" -v x="$x_wall" 'BEGIN { printf "  %-52s %8.2f %8.2f %12.2f\n", n, c, w, w / x }'; }
row "xenvar signature run (--threads 2, median of $rounds)" "$x_cpu" "$x_wall"
row "assay rules, bwa indexes built (one run)" "$first_cpu" "$first_wall"
row "assay rules, indexes kept (median of $rounds)" "$a_cpu" "$a_wall"
echo "pairs proposed by Primer3: $(summary pairs)"
echo "amplify the left quorum (every left genome without --min-left): $(summary amplify_left_quorum)"
echo "of those, amplify no more right genomes than tolerated (up to 2 mismatches): $(summary assays)"
[ "${SET:-kleb}" = drafts ] && { echo; echo "load average at end: $(load)"; exit 0; }

# The issue's measurement: the two near neighbours only, --min-length 20.
near=$d/Klebs_HS11286.fna,$d/MGH78578.fna
"$xenvar" --threads 2 -L "$left" -R "$near" --both-strands --min-length 20 --max-length 25 > "$work/tags" 2> /dev/null
starts=$(awk -F'[(,]' '/^0: \(/ { print $2 + 0 }' "$work/tags" | sort -u | wc -l)
covered() { "$xenvar" --threads 2 -L "$left" -R "$near" --both-strands --format bed "$@" 2> /dev/null |
  awk '{ s += $3 - $2; n++ } END { printf "%d bp in %d regions", s, n }'; }
echo
echo "against HS11286 and MGH78578, --both-strands --min-length 20:"
echo "  positions starting a tag of 20 to 25 symbols: $starts"
echo "  regions without --max-length: $(covered --min-length 20)"
echo "  regions with --max-length 25:  $(covered --min-length 20 --max-length 25)"
echo
echo "load average at end: $(load)"
