#!/usr/bin/env python3
"""Writes the example FASTA files of this folder (seeded, standard library only).

The story: an ancestral genome of 4 kbp gave rise to a clade of three target
strains and to two neighbouring lineages.

* target1.fa, target2.fa, target3.fa (the left files): the ancestor with the
  clade-specific changes that all three targets share (two point mutations
  and a 6 bp insertion), plus about 2 % private point mutations each; target2
  also carries a small deletion of its own.
* neighbour1.fa, neighbour2.fa (the right files): the ancestor without the
  clade's changes, each with one stretch of 1.2 kbp diverged by 15 % (at
  different places).

So the tags of the targets against the neighbours sit around the
clade-specific changes: `make example` runs

    xenvar -L examples/target1.fa,examples/target2.fa,examples/target3.fa \
           -R examples/neighbour1.fa,examples/neighbour2.fa -p

Run this script from anywhere; it rewrites the five files beside it.
"""

import os
import random

SEED = 2
LENGTH = 4000
BASES = "ACGT"
RATE_TARGET = 0.02  # private point mutations of each target

HERE = os.path.dirname(os.path.abspath(__file__))


def substitute(rng, base):
    return rng.choice([b for b in BASES if b != base])


def point_mutations(rng, seq, rate):
    """Changes each position independently with probability `rate`."""
    out = list(seq)
    for i, b in enumerate(out):
        if rng.random() < rate:
            out[i] = substitute(rng, b)
    return "".join(out)


def diverge(rng, seq, start, end, rate):
    """Point mutations at `rate` within [start, end) only."""
    return seq[:start] + point_mutations(rng, seq[start:end], rate) + seq[end:]


def write_fasta(name, header, seq):
    path = os.path.join(HERE, name)
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(">" + header + "\n")
        for i in range(0, len(seq), 60):
            f.write(seq[i:i + 60] + "\n")
    return path


def main():
    rng = random.Random(SEED)
    ancestor = "".join(rng.choice(BASES) for _ in range(LENGTH))

    # Changes shared by the whole clade: two point mutations and a 6 bp
    # insertion, well apart from each other.
    clade_snps = [900, 3300]
    insertion_at, insertion = 2600, "".join(rng.choice(BASES) for _ in range(6))
    clade = list(ancestor)
    for p in clade_snps:
        clade[p] = substitute(rng, clade[p])
    clade = "".join(clade)
    clade = clade[:insertion_at] + insertion + clade[insertion_at:]

    targets = [point_mutations(rng, clade, RATE_TARGET) for _ in range(3)]
    # A small deletion in target2 only.
    targets[1] = targets[1][:1200] + targets[1][1204:]

    # Each neighbour diverged in its own stretch; elsewhere it is the ancestor.
    neighbours = [
        diverge(rng, ancestor, 200, 1400, 0.15),
        diverge(rng, ancestor, 2000, 3200, 0.15),
    ]

    for k, seq in enumerate(targets, 1):
        write_fasta("target%d.fa" % k, "target%d clade strain, synthetic, seed %d" % (k, SEED), seq)
    for k, seq in enumerate(neighbours, 1):
        write_fasta("neighbour%d.fa" % k,
                    "neighbour%d related lineage, synthetic, seed %d" % (k, SEED), seq)
    print("wrote target1-3.fa and neighbour1-2.fa in", HERE)


if __name__ == "__main__":
    main()
