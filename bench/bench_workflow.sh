#!/usr/bin/env bash
# The Snakemake workflow against the single run on four Klebsiella genomes (Debian package
# kleborate-examples): three left genomes (NTUH-K2044, the smallest, is the representative)
# and Kp1084 as the right file, cut into chunks of CHUNK bytes, one job per CHUNKS_PER_JOB
# chunks, JOBS jobs at a time. Prints the single run's time, the workflow's, their ratio, and
# the start-up cost of a job: reading and filtering the earlier chunks for the offset (measured
# as -f over the whole representative, the cost for the last chunk) and Snakemake's own
# overhead (a workflow whose jobs have no work: one tiny chunk).
#
# Usage: make build && bench/bench_workflow.sh
# Environment: BUILD_DIR (default build), CHUNK (default 1400000: 4 chunks), CHUNKS_PER_JOB
# (default 1), JOBS (default 2), XENVAR_OPTIONS (default "-C").
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
xenvar=$(cd "${BUILD_DIR:-$root/build}" 2> /dev/null && pwd)/xenvar  # absolute: jobs run elsewhere
chunk=${CHUNK:-1400000}
per_job=${CHUNKS_PER_JOB:-1}
jobs=${JOBS:-2}
options=${XENVAR_OPTIONS:--C}
d=$here/data
k=$d/kleborate

[ -x "$xenvar" ] || { echo "missing $xenvar: run 'make build' first" >&2; exit 1; }
command -v snakemake > /dev/null || { echo "needs snakemake (make deps)" >&2; exit 1; }
mkdir -p "$k"
if [ ! -s "$k/NTUH-K2044.fna" ]; then
  (cd "$d" && apt-get download kleborate-examples > /dev/null && dpkg -x kleborate-examples_*.deb "$d/x")
  for f in Klebs_HS11286 Klebs_Kp1084 MGH78578 NTUH-K2044; do
    xz -dc "$(find "$d/x" -name "$f.fna.xz" | head -1)" > "$k/$f.fna"
  done
fi
left="$k/NTUH-K2044.fna,$k/Klebs_HS11286.fna,$k/MGH78578.fna"
right="$k/Klebs_Kp1084.fna"
bytes=$(cat "$k"/*.fna | wc -c)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# seconds OUT COMMAND...: wall-clock seconds; CPU seconds (user + system) are left in $work/cpu.
seconds() {
  local out=$1
  shift
  /usr/bin/time -f "%e %U %S" -o "$work/t" "$@" > "$out" 2> /dev/null
  awk '{printf "%.2f", $2 + $3}' "$work/t" > "$work/cpu"
  cut -d' ' -f1 "$work/t"
}
config() {  # config FILE LEFT RIGHT CHUNK OUTDIR
  printf "xenvar: '%s'\nleft: '%s'\nright: '%s'\noptions: '%s'\nchunk_size: %s\nchunks_per_job: %s\nthreads: 1\nmem_mb: 0\noutdir: '%s'\n" \
    "$xenvar" "$2" "$3" "$options" "$4" "$per_job" "$5" > "$1"
}
workflow=(snakemake -q -s "$root/workflow/Snakefile" --cores "$jobs" -d "$work" --configfile)

chunks=$("$xenvar" -L "$left" -R "$right" -c "$chunk" --count-chunks)
echo "input: $bytes bytes in 4 files; representative NTUH-K2044 ($(wc -c < "$k/NTUH-K2044.fna") bytes)"
echo "chunk $chunk bytes: $chunks chunks, $per_job per job, $jobs jobs at a time; options $options"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

single=$(seconds "$work/single.out" "$xenvar" -L "$left" -R "$right" -c "$chunk" $options)
single_cpu=$(cat "$work/cpu")
config "$work/c.yaml" "$left" "$right" "$chunk" "$work/run"
wf=$(seconds /dev/null "${workflow[@]}" "$work/c.yaml")
cmp -s "$work/single.out" "$work/run/xenvar.out" || { echo "workflow output differs from the single run" >&2; exit 1; }
jobs_wall=$(tail -q -n 1 "$work"/run/benchmarks/*.tsv | awk '{printf "%s ", $1}')
# The same jobs one after another, for their CPU time (Snakemake's benchmark samples it too seldom).
jobs_cpu=0
for ((first = 0; first < chunks; first += per_job)); do
  last=$((first + per_job - 1 < chunks - 1 ? first + per_job - 1 : chunks - 1))
  seconds /dev/null "$xenvar" -L "$left" -R "$right" -c "$chunk" $options --chunks "$first-$last" > /dev/null
  jobs_cpu=$(awk "BEGIN {printf \"%.2f\", $jobs_cpu + $(cat "$work/cpu")}")
done
reading=$(seconds /dev/null "$xenvar" -f -L "$k/NTUH-K2044.fna,$k/NTUH-K2044.fna" -c "$chunk")
printf 'ACGTACGTAC\n' > "$work/tiny1"; printf 'ACGTACGTAG\n' > "$work/tiny2"
config "$work/tiny.yaml" "$work/tiny1" "$work/tiny2" 100 "$work/tiny"
idle=$(seconds /dev/null "${workflow[@]}" "$work/tiny.yaml")

ratio() { awk "BEGIN {printf \"%.2f\", $1 / $2}"; }
echo "single run (threads: every core, $(nproc)): $single s wall, $single_cpu s CPU"
echo "workflow ($jobs jobs at a time): $wf s wall; ratio to the single run $(ratio "$wf" "$single")"
echo "jobs in the workflow: wall $jobs_wall s (Snakemake benchmark)"
echo "jobs one after another: CPU $jobs_cpu s in all, $(ratio "$jobs_cpu" "$single_cpu") of the single run's"
echo "on $jobs idle cores: $(awk "BEGIN {printf \"%.2f\", $jobs_cpu / $jobs + $idle}") s expected" \
  "(jobs' CPU / $jobs + Snakemake overhead), $(awk "BEGIN {printf \"%.2f\", ($jobs_cpu / $jobs + $idle) / $single_cpu}") of the single run's CPU"
echo "offset of the last chunk (-f over the whole representative): $reading s"
echo "Snakemake overhead (count + 1 job + merge, no work): $idle s wall"
# Rates for the cost model, in CPU seconds (wall time on a shared machine says little): chunk
# 0's tree alone (against a 10-byte right file), then the same with one other genome streamed
# through it, for this chunk size and for the whole genome as one chunk.
for c in "$chunk" 6000000; do
  seconds /dev/null "$xenvar" -L "$k/NTUH-K2044.fna" -R "$work/tiny1" -c "$c" --chunks 0-0 > /dev/null
  build=$(cat "$work/cpu")
  seconds /dev/null "$xenvar" -L "$k/NTUH-K2044.fna,$k/MGH78578.fna" -R "$work/tiny1" -c "$c" --chunks 0-0 > /dev/null
  both=$(cat "$work/cpu")
  symbols=$("$xenvar" -f -L "$k/NTUH-K2044.fna,$k/NTUH-K2044.fna" -c "$c" --chunks 0-0 | wc -c)
  streamed=$("$xenvar" -f -L "$k/MGH78578.fna,$k/MGH78578.fna" -c 6000000 | wc -c)
  echo "chunk of $symbols symbols: tree $build s CPU ($(awk "BEGIN {printf \"%.2f\", $build / $symbols * 1e6}") s/Mbp);" \
    "streaming $streamed symbols $(awk "BEGIN {printf \"%.2f\", $both - $build}") s CPU" \
    "($(awk "BEGIN {printf \"%.3f\", ($both - $build) / $streamed * 1e6}") s/Mbp)"
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
