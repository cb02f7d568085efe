#!/usr/bin/env python3
"""The pairs that primer3_core proposed, as a table and as a FASTA of primers to place.

    assay_primers.py --pairs pairs.tsv --primers primers.fa primer3.0.out primer3.1.out ...

pairs.tsv has one row per pair, positions 1-based in the representative's record; primers.fa
holds each pair's left and right primer as PAIR|L and PAIR|R.
"""
import argparse
import sys

COLUMNS = ["pair", "record", "penalty", "product_size",
           "left", "left_start", "left_tm", "left_gc",
           "right", "right_end", "right_tm", "right_gc",
           "probe", "probe_start", "probe_tm", "probe_gc"]


def boulder(path):
    """The records of a Boulder-IO file as dicts."""
    record = {}
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if line == "=":
                yield record
                record = {}
            elif "=" in line:
                key, value = line.split("=", 1)
                record[key] = value


def pairs_of(record):
    """The pairs of one Primer3 output record, positions taken from the template's place in its
    record (SEQUENCE_ID record:start-end)."""
    name, span = record["SEQUENCE_ID"].rsplit(":", 1)
    base = int(span.split("-")[0])  # 1-based position of the template's first symbol
    for k in range(int(record.get("PRIMER_PAIR_NUM_RETURNED", 0))):
        get = lambda key: record[key.replace("#", str(k))]
        left_at = int(get("PRIMER_LEFT_#").split(",")[0])
        right_at = int(get("PRIMER_RIGHT_#").split(",")[0])  # the right primer's 5' end, its last symbol
        row = {
            "pair": f"{record['SEQUENCE_ID']}.{k}", "record": name,
            "penalty": get("PRIMER_PAIR_#_PENALTY"), "product_size": get("PRIMER_PAIR_#_PRODUCT_SIZE"),
            "left": get("PRIMER_LEFT_#_SEQUENCE"), "left_start": base + left_at,
            "left_tm": get("PRIMER_LEFT_#_TM"), "left_gc": get("PRIMER_LEFT_#_GC_PERCENT"),
            "right": get("PRIMER_RIGHT_#_SEQUENCE"), "right_end": base + right_at,
            "right_tm": get("PRIMER_RIGHT_#_TM"), "right_gc": get("PRIMER_RIGHT_#_GC_PERCENT"),
            "probe": "", "probe_start": "", "probe_tm": "", "probe_gc": "",
        }
        if f"PRIMER_INTERNAL_{k}_SEQUENCE" in record:
            row.update({"probe": get("PRIMER_INTERNAL_#_SEQUENCE"),
                        "probe_start": base + int(get("PRIMER_INTERNAL_#").split(",")[0]),
                        "probe_tm": get("PRIMER_INTERNAL_#_TM"), "probe_gc": get("PRIMER_INTERNAL_#_GC_PERCENT")})
        yield row


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--pairs", required=True)
    p.add_argument("--primers", required=True)
    p.add_argument("outputs", nargs="*", help="primer3_core outputs")
    a = p.parse_args(argv)
    templates, errors = 0, []
    with open(a.pairs, "w") as pairs, open(a.primers, "w") as primers:
        pairs.write("\t".join(COLUMNS) + "\n")
        for path in a.outputs:
            for record in boulder(path):
                templates += 1
                if "PRIMER_ERROR" in record:
                    errors.append(f"{record.get('SEQUENCE_ID', '?')}: {record['PRIMER_ERROR']}")
                    continue
                for row in pairs_of(record):
                    pairs.write("\t".join(str(row[c]) for c in COLUMNS) + "\n")
                    primers.write(f">{row['pair']}|L\n{row['left']}\n>{row['pair']}|R\n{row['right']}\n")
    # An error on every template is a bad setting rather than a hard template.
    if errors and len(errors) == templates:
        sys.exit(f"assay_primers: primer3_core refused every template, e.g. {errors[0]}")
    for e in errors[:5]:
        print(f"assay_primers: primer3_core: {e}", file=sys.stderr)


if __name__ == "__main__":
    main()
