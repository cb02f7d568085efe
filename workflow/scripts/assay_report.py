#!/usr/bin/env python3
"""The assay table: every pair that Primer3 proposed, with the genomes it amplifies in silico.

    assay_report.py --pairs pairs.tsv --bed signatures.bed --product 70-200 \
        --quorum 2 --tolerated 0 --rows 50 \
        --left NAME=SAM ... --right NAME=SAM ... \
        --table assays.tsv --fasta assays.fa --svg assays.svg --summary summary.tsv

Each SAM holds the primers of pairs.tsv placed on one genome by `bwa aln -N` and `bwa samse`
(every hit within the allowed mismatches, the others in the XA tag). A pair amplifies a genome
when one of its primers binds the plus strand and the other the minus strand downstream of it,
with a product within the size range. A pair that amplifies at least `quorum` left genomes and
at most `tolerated` right genomes is an assay; assays come first.
"""
import argparse
import bisect
import collections
import sys

from assay_primers import COLUMNS as PAIR_COLUMNS
from assay_templates import parse_range, read_bed, read_records

# Genome names are listed in the table up to this many.
FEW = 5
# Records drawn in the picture, the longest first.
DRAWN_RECORDS = 30

Hit = collections.namedtuple("Hit", "contig start strand")


def sam_hits(path):
    """{primer name: [Hit]} and the primers whose hits bwa did not list in full (too many)."""
    hits, incomplete = collections.defaultdict(list), set()
    with open(path) as f:
        for line in f:
            if line.startswith("@"):
                continue
            fields = line.rstrip("\n").split("\t")
            name, flag = fields[0], int(fields[1])
            if flag & 4:
                continue
            hits[name].append(Hit(fields[2], int(fields[3]) - 1, "-" if flag & 16 else "+"))
            tags = dict(t.split(":", 1) for t in fields[11:])
            listed = 1
            for entry in tags.get("XA", "Z:")[2:].split(";"):
                if entry:
                    contig, pos = entry.split(",")[:2]
                    hits[name].append(Hit(contig, abs(int(pos)) - 1, pos[0]))
                    listed += 1
            best, other = int(tags.get("X0", "i:1")[2:]), int(tags.get("X1", "i:0")[2:])
            if best + other > listed:
                incomplete.add(name)
    return hits, incomplete


def amplifies(hits_a, hits_b, len_b, low, high):
    """True when a plus-strand hit of primer a and a minus-strand hit of primer b, on one contig,
    enclose a product of low to high symbols."""
    ends = collections.defaultdict(list)  # contig: sorted ends of b's minus hits
    for h in hits_b:
        if h.strand == "-":
            ends[h.contig].append(h.start + len_b)
    for v in ends.values():
        v.sort()
    for h in hits_a:
        if h.strand == "+" and h.contig in ends:
            e = ends[h.contig]
            i = bisect.bisect_left(e, h.start + low)
            if i < len(e) and e[i] <= h.start + high:
                return True
    return False


def pair_amplifies(pair, hits, incomplete, low, high):
    left, right = pair["pair"] + "|L", pair["pair"] + "|R"
    hl, hr = hits.get(left, []), hits.get(right, [])
    # A primer with more hits than bwa lists binds almost anywhere: its partner decides.
    if left in incomplete or right in incomplete:
        return bool(hl) and bool(hr)
    return (amplifies(hl, hr, len(pair["right"]), low, high) or
            amplifies(hr, hl, len(pair["left"]), low, high))


def read_pairs(path):
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        return [dict(zip(header, line.rstrip("\n").split("\t"))) for line in f]


def named(argument):
    name, _, path = argument.partition("=")
    if not path:
        raise argparse.ArgumentTypeError(f"give NAME=SAM, not {argument}")
    return name, path


def amplified_by(pairs, genomes, low, high):
    """{pair: [names of the genomes it amplifies]}, genomes [(name, SAM)] in order."""
    out = {p["pair"]: [] for p in pairs}
    for name, path in genomes:
        hits, incomplete = sam_hits(path)
        for p in pairs:
            if pair_amplifies(p, hits, incomplete, low, high):
                out[p["pair"]].append(name)
    return out


def names_when_few(names):
    return ",".join(names) if 0 < len(names) <= FEW else ("-" if not names else f"{len(names)} genomes")


def ranked(pairs, left, right, n_left, n_right, quorum, tolerated):
    """Rows of the table, best first: assays, then fewer right genomes, more left genomes, the
    lower penalty."""
    rows = []
    for p in pairs:
        l, r = left[p["pair"]], right[p["pair"]]
        assay = len(l) >= quorum and len(r) <= tolerated
        rows.append(dict(p, assay="yes" if assay else "no",
                         left_amplified=f"{len(l)}/{n_left}", left_genomes=names_when_few(l),
                         right_amplified=f"{len(r)}/{n_right}", right_genomes=names_when_few(r),
                         _key=(not assay, len(r), -len(l), float(p["penalty"]))))
    rows.sort(key=lambda row: row["_key"])
    for rank, row in enumerate(rows, 1):
        row["rank"] = rank
    return rows


TABLE_COLUMNS = (["rank", "assay"] + PAIR_COLUMNS +
                 ["left_amplified", "left_genomes", "right_amplified", "right_genomes"])


def write_table(path, rows, note):
    with open(path, "w") as f:
        if note:
            f.write(f"# {note}\n")
        f.write("\t".join(TABLE_COLUMNS) + "\n")
        for row in rows:
            f.write("\t".join(str(row[c]) for c in TABLE_COLUMNS) + "\n")


def write_products(path, rows, records):
    with open(path, "w") as f:
        for row in rows:
            if row["assay"] != "yes":
                continue
            start, end = int(row["left_start"]), int(row["right_end"])
            seq = records[row["record"]][start - 1:end].decode("ascii", "replace").upper()
            f.write(f">{row['pair']} {row['record']}:{start}-{end} product={len(seq)}\n")
            f.writelines(seq[i:i + 60] + "\n" for i in range(0, len(seq), 60))


def write_picture(path, records, regions, rows, title):
    """The representative's records as lines, the signature regions on them, the assays marked."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    drawn = sorted(records, key=lambda r: -len(records[r]))[:DRAWN_RECORDS]
    height = 1.2 + 0.45 * max(1, len(drawn))
    fig, ax = plt.subplots(figsize=(11, height))
    by_record = collections.defaultdict(list)
    for record, start, end in regions:
        by_record[record].append((start, end - start))
    for y, record in enumerate(drawn):
        ax.plot([0, len(records[record])], [y, y], color="0.6", linewidth=1)
        ax.broken_barh(by_record[record], (y - 0.15, 0.3), facecolors="tab:blue", linewidth=0)
        sites = [int(r["left_start"]) for r in rows if r["assay"] == "yes" and r["record"] == record]
        ax.plot(sites, [y - 0.3] * len(sites), "v", color="tab:red", markersize=6, linestyle="none")
    ax.set_yticks(range(len(drawn)), drawn)
    ax.set_ylim(-0.8, len(drawn) - 0.2)
    ax.invert_yaxis()
    ax.set_xlabel("position in record (bp)")
    more = len(records) - len(drawn)
    ax.set_title(title + (f" ({more} shorter records not drawn)" if more > 0 else ""), fontsize=10, loc="left")
    ax.plot([], [], color="tab:blue", linewidth=6, label="signature regions")
    ax.plot([], [], "v", color="tab:red", label="assays")
    ax.legend(loc="lower right", bbox_to_anchor=(1, 1), ncol=2, frameon=False, fontsize=8)
    fig.tight_layout()
    fig.savefig(path, format="svg")
    plt.close(fig)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--pairs", required=True)
    p.add_argument("--bed", required=True)
    p.add_argument("--representative")
    p.add_argument("--product", type=parse_range, required=True)
    p.add_argument("--quorum", type=int, required=True, help="left genomes an assay amplifies at least")
    p.add_argument("--tolerated", type=int, default=0, help="right genomes an assay amplifies at most")
    p.add_argument("--rows", type=int, default=0, help="rows of the table (0: every pair)")
    p.add_argument("--left", type=named, action="append", default=[])
    p.add_argument("--right", type=named, action="append", default=[])
    for out in ("table", "fasta", "svg", "summary"):
        p.add_argument(f"--{out}", required=True)
    a = p.parse_args(argv)

    representative, regions = read_bed(a.bed)
    representative = a.representative or representative
    records = read_records(representative) if representative else {}
    pairs = read_pairs(a.pairs)
    low, high = a.product
    left = amplified_by(pairs, a.left, low, high)
    right = amplified_by(pairs, a.right, low, high)
    rows = ranked(pairs, left, right, len(a.left), len(a.right), a.quorum, a.tolerated)
    assays = sum(row["assay"] == "yes" for row in rows)
    with_left = sum(len(left[q["pair"]]) >= a.quorum for q in pairs)
    note = ""
    if not regions:
        note = "no signature region of primer-sized tags: nothing to design primers on"
    elif not pairs:
        note = f"Primer3 found no primer pair in the {len(regions)} signature regions"
    if note:
        print(f"assay_report: {note}", file=sys.stderr)
    shown = rows[:a.rows] if a.rows > 0 else rows
    write_table(a.table, shown, note)
    write_products(a.fasta, shown, records)
    write_picture(a.svg, records, regions, shown,
                  f"{len(regions)} signature regions; {assays} assays of {len(pairs)} pairs, those in the table marked")
    with open(a.summary, "w") as f:
        f.write(f"pairs\t{len(pairs)}\nleft_quorum\t{a.quorum}/{len(a.left)}\n"
                f"amplify_left_quorum\t{with_left}\nright_tolerated\t{a.tolerated}/{len(a.right)}\n"
                f"assays\t{assays}\n")


if __name__ == "__main__":
    main()
