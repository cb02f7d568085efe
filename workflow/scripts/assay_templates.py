#!/usr/bin/env python3
"""Primer3 templates from xenvar's signature regions.

Reads the BED of a `xenvar -v --format bed --min-length A --max-length B` run (regions of
primer-sized tags), cuts the regions of each record of the representative file into windows
no longer than the largest product, and writes one Boulder-IO record per window whose
SEQUENCE_PRIMER_PAIR_OK_REGION_LIST allows primers on signature sequence only.

    assay_templates.py --bed signatures.bed --product 70-200 --primer-min 18 \
        --out templates.0.boulder [templates.1.boulder ...] [--representative FILE]

The representative file (plain or gzip'ed FASTA) defaults to the one that the BED's
"#Representative file" comment names.
"""
import argparse
import gzip
import sys

# The bytes that xenvar's reader drops from sequence.
BLANKS = b"\x00\t\n\r "


def open_maybe_gzip(path):
    """The file's content, inflated when it starts with the gzip magic bytes, whatever its name."""
    with open(path, "rb") as f:
        magic = f.read(2)
    return gzip.open(path, "rb") if magic == b"\x1f\x8b" else open(path, "rb")


def read_records(path):
    """{name: sequence} as xenvar counts it: a record per header, named by its first word
    (the file's name for sequence before the first header or a header without a word),
    blanks dropped, positions from 0 within the record."""
    with open_maybe_gzip(path) as f:
        data = f.read()
    records, name, pos = {}, path, 0
    while True:
        header = data.find(b">", pos)
        sequence = data[pos:len(data) if header < 0 else header].translate(None, BLANKS)
        # A header before any symbol names the first record rather than opening a second.
        if sequence or name != path or header < 0:
            records[name] = sequence
        if header < 0:
            return records
        eol = min((i for i in (data.find(b"\n", header), data.find(b"\r", header)) if i >= 0), default=len(data))
        word = data[header + 1:eol].replace(b"\t", b" ").split(b" ")[0]
        name, pos = word.decode() if word else path, eol


def read_bed(path):
    """(representative file named by the comment or None, [(record, start, end)])."""
    representative, regions = None, []
    with open(path) as f:
        for line in f:
            if line.startswith("#Representative file"):  # ": " or " (set): "
                representative = line.split(": ", 1)[1].rstrip("\n")
            elif line.strip() and not line.startswith("#"):
                fields = line.split("\t")
                regions.append((fields[0], int(fields[1]), int(fields[2])))
    return representative, regions


def windows(regions, longest, shortest_piece):
    """Cuts regions (record, start, end), in sequence order, into windows of at most `longest`
    symbols: [(record, window start, window end, [(piece start, piece end)])]. A window opens at
    the first signature symbol not yet placed; pieces shorter than a primer go."""
    out = []
    for record, start, end in regions:
        while start < end:
            if not out or out[-1][0] != record or start >= out[-1][1] + longest:
                out.append([record, start, start, []])
            stop = min(end, out[-1][1] + longest)
            if stop - start >= shortest_piece:
                out[-1][3].append((start, stop))
                out[-1][2] = stop
            start = stop
    return [tuple(w) for w in out if w[3]]


def ok_regions(window_start, pieces, shortest_product):
    """Primer3's pair list: the left primer on one piece, the right on the same or a later one,
    as far apart as the shortest product allows; offsets within the template."""
    pairs = []
    for i, (ls, le) in enumerate(pieces):
        for rs, re in pieces[i:]:
            if re - ls >= shortest_product:
                pairs.append(f"{ls - window_start},{le - ls},{rs - window_start},{re - rs}")
    return ";".join(pairs)


def boulder_records(records, cut, shortest_product):
    """One Boulder-IO record per window that can hold a product; SEQUENCE_ID is
    record:start-end, 1-based inclusive like xenvar's region names."""
    for record, start, end, pieces in cut:
        pairs = ok_regions(start, pieces, shortest_product)
        if not pairs:
            continue
        template = records[record][start:end].decode("ascii", "replace").upper()
        yield (f"SEQUENCE_ID={record}:{start + 1}-{end}\nSEQUENCE_TEMPLATE={template}\n"
               f"SEQUENCE_PRIMER_PAIR_OK_REGION_LIST={pairs}\n=\n")


def parse_range(text):
    low, high = (int(v) for v in text.split("-"))
    if not 0 < low <= high:
        raise argparse.ArgumentTypeError(f"bad range {text}: give LOW-HIGH, 0 < LOW <= HIGH")
    return low, high


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--bed", required=True, help="xenvar -v --format bed output")
    p.add_argument("--representative", help="the representative FASTA (default: from the BED's comment)")
    p.add_argument("--product", type=parse_range, required=True, help="product sizes LOW-HIGH")
    p.add_argument("--primer-min", type=int, required=True, help="shortest primer")
    p.add_argument("--out", nargs="+", required=True, help="files of Boulder-IO records for primer3_core")
    a = p.parse_args(argv)
    named, regions = read_bed(a.bed)
    representative = a.representative or named
    if representative is None:
        sys.exit(f"assay_templates: {a.bed} names no representative file; give --representative")
    try:
        records = read_records(representative) if regions else {}
    except OSError as e:
        sys.exit(f"assay_templates: cannot read {representative}: {e.strerror}")
    missing = sorted({r for r, _, _ in regions} - records.keys())
    if missing:
        sys.exit(f"assay_templates: {representative} holds no record {missing[0]} of {a.bed}")
    texts = list(boulder_records(records, windows(regions, a.product[1], a.primer_min), a.product[0]))
    # Consecutive templates to each file, as evenly as they go, for primer3_core runs side by side.
    share = -(-len(texts) // len(a.out))
    for i, path in enumerate(a.out):
        with open(path, "w") as out:
            out.writelines(texts[i * share:(i + 1) * share])
    print(f"assay_templates: {len(regions)} signature regions, {len(texts)} templates", file=sys.stderr)


if __name__ == "__main__":
    main()
