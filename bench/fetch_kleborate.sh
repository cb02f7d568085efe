#!/usr/bin/env bash
# Fetches the K. pneumoniae genomes of the Debian package kleborate-examples
# into bench/data/ (git-ignored): apt-get download, dpkg -x, xz -d. Files that
# are already there are kept. Prints the paths of the .fna files.
#
# Usage: bench/fetch_kleborate.sh
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
data=$here/data
mkdir -p "$data"
if ! ls "$data"/*.fna > /dev/null 2>&1; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"  # apt-get download writes as _apt
  (cd "$work" && apt-get download kleborate-examples > /dev/null)
  dpkg -x "$work"/kleborate-examples_*.deb "$work/root"
  find "$work/root" -name '*.fna.xz' -exec cp {} "$data"/ \;
  find "$work/root" -name '*.fna' -exec cp {} "$data"/ \;
  for f in "$data"/*.fna.xz; do
    [ -e "$f" ] && xz -d -f "$f"
  done
fi
ls "$data"/*.fna
