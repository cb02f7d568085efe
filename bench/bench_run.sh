#!/usr/bin/env bash
# Whole-run speed and memory: xenvar on a 5 Mbp representative genome, 8
# similar left files and 4 right files, timed side by side with mummer on the
# same files, then again with smaller chunks.
#
# Files (seeded, bench/data/run_<bases>/, 60-column FASTA):
#   rep.fa              random genome of REP_BASES bases (default 5000000)
#   left1..8.fa         copies of rep with 0.5 % point mutations and small
#                       indels (1 in 5000 bases, 1-10 bases long)
#   right1.fa right2.fa unrelated random genomes of the same length
#   right3.fa right4.fa copies of rep with 10 % point mutations and indels
# Every copy is kept at least as long as rep, so rep stays the smallest left
# file and is the representative.
#
# Usage: make bench && bench/bench_run.sh
# Environment: BUILD_DIR (default build-bench), REP_BASES, ROUNDS (default 1;
# xenvar and mummer alternate and their medians are compared), CHUNK_SIZES
# (default "2600000 1000000": the -c values of the chunked runs, 2 and 6
# chunks of rep; CHUNK_SIZES= leaves them out), SKIP_MUMMER=1.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
xenvar=$build/xenvar
gen=$build/bench/gen_fasta
size=${REP_BASES:-5000000}
rounds=${ROUNDS:-1}
chunk_sizes=${CHUNK_SIZES-"2600000 1000000"}
d=$here/data/run_$size

for b in "$xenvar" "$gen"; do
  [ -x "$b" ] || { echo "missing $b: run 'make bench' first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
if [ "${SKIP_MUMMER:-0}" != 1 ] && ! command -v mummer > /dev/null; then
  echo "mummer not found: apt-get install -y mummer (or SKIP_MUMMER=1)" >&2
  exit 1
fi
mkdir -p "$d"

gen_once() {  # gen_once OUT MODE key=value...
  local out=$1
  shift
  if [ ! -s "$out" ]; then
    "$gen" "$@" out="$out.tmp"
    mv "$out.tmp" "$out"
  fi
}
gen_once "$d/rep.fa" random length="$size" seed=4001 name=rep
for i in 1 2 3 4 5 6 7 8; do
  gen_once "$d/left$i.fa" mutate src="$d/rep.fa" seed=$((4100 + i)) snp=0.005 indel=0.0002 \
    maxindel=10 minlength="$size" name="left$i"
done
gen_once "$d/right1.fa" random length="$size" seed=4201 name=right1
gen_once "$d/right2.fa" random length="$size" seed=4202 name=right2
gen_once "$d/right3.fa" mutate src="$d/rep.fa" seed=4203 snp=0.10 indel=0.002 maxindel=5 \
  minlength="$size" name=right3
gen_once "$d/right4.fa" mutate src="$d/rep.fa" seed=4204 snp=0.10 indel=0.002 maxindel=5 \
  minlength="$size" name=right4
gen_once "$d/tiny.fa" random length=600 seed=4002 name=tiny
# A left file as large as rep without a single symbol: streaming it costs
# nothing but its load and the fold after it.
if [ ! -s "$d/blank.fa" ]; then
  { echo ">blank"; head -c "$(stat -c %s "$d/rep.fa")" /dev/zero | tr '\0' '\n'; } > "$d/blank.fa"
fi

# File table: path, class, symbols, bytes.
lefts=()
for i in 1 2 3 4 5 6 7 8; do lefts+=("$d/left$i.fa"); done
rights=("$d/right1.fa" "$d/right2.fa" "$d/right3.fa" "$d/right4.fa")
table=$d/files.tsv
if [ ! -s "$table" ] || [ "$table" -ot "$d/right4.fa" ]; then
  {
    for f in "$d/rep.fa" "${lefts[@]}" "${rights[@]}"; do
      case $(basename "$f") in
        rep.fa) c=representative ;;
        left*) c=similar ;;
        right1.fa | right2.fa) c=unrelated ;;
        *) c=divergent ;;
      esac
      printf '%s\t%s\t%s\t%s\n' "$f" "$c" "$("$gen" count "$f")" "$(stat -c %s "$f")"
    done
  } > "$table.tmp"
  mv "$table.tmp" "$table"
fi
L=$(IFS=,; echo "$d/rep.fa,${lefts[*]}")
R=$(IFS=,; echo "${rights[*]}")
cat "$d"/*.fa > /dev/null   # same page-cache state for every run

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) processors)"

elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Prefixes every line of standard input with the time it arrived; a last
# line "<EOF>" marks the end of the stream.
stamp() {
  local line
  while IFS= read -r line; do printf '%s\t%s\n' "$EPOCHREALTIME" "$line"; done
  printf '%s\t<EOF>\n' "$EPOCHREALTIME"
}

# run_xenvar TAG [extra options]: one whole run, -C output to a file; leaves
# TAG.err (time-stamped standard error), TAG.rss (peak RSS in KiB), TAG.out,
# TAG.time (seconds).
run_xenvar() {
  local tag=$1
  shift
  local t0 t1
  t0=$EPOCHREALTIME
  local lists=(-L "$L" -R "$R")
  [ -n "${FOLD_L:-}" ] && lists=(-L "$FOLD_L")
  { /usr/bin/time -f '%M' -o "$work/$tag.rss" "$xenvar" "${lists[@]}" -C "$@" \
      > "$work/$tag.out"; } 2>&1 | stamp > "$work/$tag.err"
  t1=$EPOCHREALTIME
  echo "$t0" > "$work/$tag.t0"
  elapsed "$t0" "$t1" > "$work/$tag.time"
  if ! grep -q $'\tConstructing tree' "$work/$tag.err"; then
    echo "xenvar printed no 'Constructing tree' line; its standard error was:" >&2
    cut -f2- "$work/$tag.err" | head -n 20 >&2
    exit 1
  fi
}

# Stage times of one run from its time-stamped standard error. Each progress
# line is printed once the query chunk is loaded, just before it is walked, so
# the interval up to the next line holds the matching walk of that chunk, the
# fold after a left file's last chunk, and the loading of the next chunk.
analyse() {
  local tag=$1
  awk -F'\t' -v t0="$(cat "$work/$tag.t0")" -v table="$table" '
    BEGIN {
      while ((getline l < table) > 0) {
        split(l, f, "\t"); cls[f[1]] = f[2]; syms[f[1]] = f[3]; bytes[f[1]] = f[4]
      }
    }
    { ts[NR] = $1; line[NR] = $2 }
    function qfile(s) {  # "path.K (N);" -> path
      sub(/ +\([0-9-]+\);$/, "", s); sub(/\.[0-9]+$/, "", s); return s
    }
    function qlen(s) { sub(/^.*\(/, "", s); sub(/\);$/, "", s); return s + 0 }
    END {
      for (i = 1; i <= NR; i++) if (line[i] ~ /^Processing /) lastp = i
      for (i = 1; i <= NR; i++) {
        s = line[i]; dt = (i < NR) ? ts[i + 1] - ts[i] : 0
        if (i == lastp) {
          # After the last query come the final walk and the report: keep
          # that interval apart from the streaming rates.
          s2 = s; sub(/^Processing (\(r\) )?\.\.\. /, "", s2)
          tail = dt; tailname = qfile(s2); loads++
          if (s ~ /^Processing \.\.\. /) nchunk_of[tailname]++
          continue
        }
        if (s ~ /^Constructing tree \.\.\. /) {
          ct = ts[i]; chunks++; if (chunks == 1) startup = ts[i] - t0
        } else if (s == "Done.") {
          build += ts[i] - ct; first_load += dt
        } else if (s ~ /^Elmininating bad symbols/) {
          invalid += dt
        } else if (s ~ /^Processing \(r\) \.\.\. /) {
          sub(/^Processing \(r\) \.\.\. /, "", s); qf = qfile(s)
          c = cls[qf]; t[c] += dt; n[c] += qlen(s); loads++
        } else if (s ~ /^Processing \.\.\. .*  \([0-9-]+\);$/) {
          sub(/^Processing \.\.\. /, "", s)
          t["earlier"] += dt; n["earlier"] += qlen(s); loads++
        } else if (s ~ /^Processing \.\.\. /) {
          sub(/^Processing \.\.\. /, "", s); qf = qfile(s)
          c = cls[qf]; t[c] += dt; loads++; nchunk_of[qf]++; repn = qlen(s)
          # The left line gives the representative chunk length, not the
          # query length: take the file size when the file is one chunk.
          seen[qf] = 1
        } else if (s == "<EOF>") {
          total = ts[i] - t0
        }
      }
      one = 1
      for (qf in seen) { if (nchunk_of[qf] != chunks) one = 0; n["similar"] += syms[qf] }
      nt = split(tailname, parts, "/")
      printf "chunks=%d loads=%d total=%.3f startup=%.3f build=%.3f first_load=%.3f invalid=%.3f repn=%d one=%d tail=%.3f tailfile=%s\n",
             chunks, loads, total, startup, build, first_load, invalid, repn, one, tail, parts[nt]
      split("similar divergent unrelated earlier", order, " ")
      for (k = 1; k <= 4; k++) {
        c = order[k]
        if (t[c] > 0) printf "stage %s %.3f %d\n", c, t[c], n[c]
      }
    }' "$work/$tag.err"
}

baseline_kb() {
  /usr/bin/time -f '%M' -o "$work/tiny.rss" "$xenvar" -L "$d/tiny.fa,$d/tiny.fa" -C \
    > /dev/null 2>&1
  tail -n 1 "$work/tiny.rss"
}

echo "Input files ($d):"
awk -F'\t' '{ n = split($1, p, "/"); printf "  %-10s %-14s %9d symbols %9d bytes\n", p[n], $2, $3, $4 }' "$table"
total_syms=$(awk -F'\t' '{ s += $3 } END { print s }' "$table")
echo "  total $total_syms symbols"
echo

xts=()
mts=()
for ((r = 1; r <= rounds; r++)); do
  run_xenvar "auto$r"
  xts+=("$(cat "$work/auto$r.time")")
  line="round $r: xenvar ${xts[-1]} s (peak RSS $(tail -n 1 "$work/auto$r.rss") KiB)"
  if [ "${SKIP_MUMMER:-0}" != 1 ]; then
    t0=$EPOCHREALTIME
    /usr/bin/time -f '%M' -o "$work/mummer.rss" \
      mummer -maxmatch -l 20 -n "$d/rep.fa" "${lefts[@]}" "${rights[@]}" \
      > /dev/null 2> "$work/mummer.err"
    t1=$EPOCHREALTIME
    mts+=("$(elapsed "$t0" "$t1")")
    line="$line, mummer ${mts[-1]} s (peak RSS $(tail -n 1 "$work/mummer.rss") KiB)"
  fi
  echo "$line"
done
tag=auto$rounds
a=$(analyse "$tag")
get() { echo "$a" | head -n 1 | tr ' ' '\n' | awk -F= -v k="$1" '$1 == k { print $2 }'; }
repn=$(get repn)
chunk=$(cut -f2- "$work/$tag.err" | awk -F': ' '$1 == "CHUNK" { print $2 }')
peak=$(tail -n 1 "$work/$tag.rss")
base=$(baseline_kb)
xm=$(median "${xts[@]}")

echo
echo "xenvar -L rep,left1..8 -R right1..4 -C > out   (automatic CHUNK ${chunk:-?}, $(get chunks) chunk(s))"
printf "  total %s s (median of %d), %s output lines\n" "$xm" "$rounds" "$(wc -l < "$work/$tag.out")"
printf "  start-up to 'Constructing tree' (read and mask the chunk): %s s\n" "$(get startup)"
awk -v b="$(get build)" -v n="$repn" 'BEGIN {
  printf "  tree build ('\''Constructing tree'\'' to '\''Done.'\''): %.3f s for %d symbols = %.2f Mbp/s\n", b, n, n / 1e6 / b }'
if [ "$(get one)" = 1 ]; then
  echo "  streaming (from a file's progress line to the next line: walk, fold, next load):"
  echo "$a" | awk '$1 == "stage" {
    target = ($2 == "similar") ? "  (target >= 10 Mbp/s)" : ($2 == "unrelated") ? "  (target >= 2 Mbp/s)" : ""
    printf "    %-10s %8.2f Mbp in %7.3f s = %6.2f Mbp/s%s\n", $2, $4 / 1e6, $3, $4 / 1e6 / $3, target }'
  echo "    (the rates leave out the last query file: its interval also holds the final walk and the report)"
  awk -v t="$(get tail)" -v f="$(get tailfile)" 'BEGIN {
    printf "  last query file %s, then the final walk and the report: %.3f s\n", f, t }'
  # The fold alone: the same tree with 8 left files that hold no symbol.
  FOLD_L=$(IFS=,; echo "$d/rep.fa,$(printf "$d/blank.fa,%.0s" 1 2 3 4 5 6 7 8 | sed 's/,$//')") \
    run_xenvar fold
  fold=$(median $(awk -F'\t' '$2 ~ /^Processing / { if (p) print $1 - p; p = $1 }' "$work/fold.err"))
  sim=$(echo "$a" | awk '$1 == "stage" && $2 == "similar" { print $3, $4 }')
  awk -v f="$fold" -v sim="$sim" 'BEGIN {
    split(sim, x, " "); t = x[1] - 8 * f
    printf "  fold after a left file that matched nothing (run with 8 symbol-less left files): %.3f s\n", f
    if (t > 0) printf "    similar less 8 such folds: %.2f Mbp in %.3f s = %.2f Mbp/s (a fold after real matches may cost more)\n", x[2] / 1e6, t, x[2] / 1e6 / t }'
fi
awk -v peak="$peak" -v base="$base" -v n="$repn" -v table="$table" -v chunk="${chunk:-0}" 'BEGIN {
  while ((getline l < table) > 0) {
    split(l, f, "\t"); if (f[2] == "representative") rep = f[4]; else if (f[4] > q) q = f[4]
  }
  if (chunk > 0 && q > chunk + 20000) q = chunk + 20000
  pb = peak * 1024
  budget = 85 * n + (rep + 1) + (q + 1)
  printf "  peak RSS %.1f MiB = %.1f bytes per chunk symbol (%d symbols); beyond the %.1f MiB baseline %.1f bytes per symbol\n",
         pb / 1048576, pb / n, n, base / 1024, (peak - base) * 1024 / n
  printf "  budget 85 x %d + chunk texts %d + %d = %.1f MiB: %s\n", n, rep + 1, q + 1,
         budget / 1048576, pb <= budget ? "within" : "EXCEEDED"
}'
if [ ${#mts[@]} -gt 0 ]; then
  mm=$(median "${mts[@]}")
  echo
  echo "mummer -maxmatch -l 20 -n rep left1..8 right1..4 > /dev/null"
  awk -v m="$mm" -v x="$xm" -v s="$total_syms" -v r="$rounds" 'BEGIN {
    printf "  total %.3f s (median of %d) = %.3f s per Mbp of input\n", m, r, m / (s / 1e6)
    printf "time ratio xenvar / mummer: %.3f  (target <= 0.5)\n", x / m }'
fi

echo
echo "Chunked runs (same files, -c CHUNK):"
printf "  %-10s %7s %7s %9s %10s %8s %10s %8s\n" CHUNK chunks loads total_s s/chunk x_auto build_s peak_MiB
printf "  %-10s %7s %7s %9s %10s %8s %10s %8.1f\n" "auto" "$(get chunks)" "$(get loads)" "$xm" \
  "$(awk -v t="$xm" -v c="$(get chunks)" 'BEGIN { printf "%.3f", t / c }')" "1.00" "$(get build)" \
  "$(awk -v p="$peak" 'BEGIN { print p / 1024 }')"
for c in $chunk_sizes; do
  run_xenvar "c$c" -c "$c"
  ac=$(analyse "c$c")
  getc() { echo "$ac" | head -n 1 | tr ' ' '\n' | awk -F= -v k="$1" '$1 == k { print $2 }'; }
  t=$(cat "$work/c$c.time")
  printf "  %-10s %7s %7s %9s %10s %8s %10s %8.1f\n" "$c" "$(getc chunks)" "$(getc loads)" "$t" \
    "$(awk -v t="$t" -v c="$(getc chunks)" 'BEGIN { printf "%.3f", t / c }')" \
    "$(awk -v t="$t" -v x="$xm" 'BEGIN { printf "%.2f", t / x }')" "$(getc build)" \
    "$(awk -v p="$(tail -n 1 "$work/c$c.rss")" 'BEGIN { print p / 1024 }')"
done
echo "  (loads: query chunks streamed; every representative chunk reads every other file again)"
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
