# The k-mer peers of xenvar, sourced by the benchmarks that time them: each answers "which
# 31-mers are in every left file and in no right file" on LEFT_FILES and RIGHT_FILES, counting
# both strands, with its files in $work. FASTA or FASTQ, plain or gzip'ed.

# KMC reads FASTQ with -fq and (multi-)FASTA with -fm.
kmc_format() {
  case "$1" in
    *.fq | *.fq.gz | *.fastq | *.fastq.gz) echo -fq ;;
    *) echo -fm ;;
  esac
}

run_kmc() {  # run_kmc THREADS
  # kmc_tools complex aborts in Debian's build (a regex_error), so the set
  # algebra goes through pairwise simple operations.
  local t=$1 i=0 left="" right=""
  rm -rf "$work/kmc" && mkdir -p "$work/kmc/tmp"
  for f in "${LEFT_FILES[@]}" "${RIGHT_FILES[@]}"; do
    i=$((i + 1))
    kmc -k31 -ci1 "$(kmc_format "$f")" -t"$t" -hp "$f" "$work/kmc/db$i" "$work/kmc/tmp" > /dev/null
    if [ $i -le ${#LEFT_FILES[@]} ] && [ -z "$left" ]; then
      left=db$i
    elif [ $i -le ${#LEFT_FILES[@]} ]; then
      kmc_tools -t"$t" -hp simple "$work/kmc/$left" "$work/kmc/db$i" intersect "$work/kmc/l$i" > /dev/null
      left=l$i
    elif [ -z "$right" ]; then
      right=db$i
    else
      kmc_tools -t"$t" -hp simple "$work/kmc/$right" "$work/kmc/db$i" union "$work/kmc/r$i" > /dev/null
      right=r$i
    fi
  done
  kmc_tools -t"$t" -hp simple "$work/kmc/$left" "$work/kmc/$right" kmers_subtract "$work/kmc/tags" > /dev/null
}

run_unikmer() {  # run_unikmer THREADS
  local t=$1 i=0 lefts=() rights=()
  rm -rf "$work/uk" && mkdir -p "$work/uk"
  for f in "${LEFT_FILES[@]}" "${RIGHT_FILES[@]}"; do
    i=$((i + 1))
    unikmer count -j "$t" -k 31 -K -s "$f" -o "$work/uk/f$i"
    if [ $i -le ${#LEFT_FILES[@]} ]; then lefts+=("$work/uk/f$i.unik"); else rights+=("$work/uk/f$i.unik"); fi
  done
  unikmer inter -j "$t" "${lefts[@]}" -o "$work/uk/left"
  unikmer diff -j "$t" "$work/uk/left.unik" "${rights[@]}" -o "$work/uk/tags"
}
