"""Templates for Primer3: records read as xenvar counts them, windows, OK regions, gz input."""
import gzip

import assay_templates as t


def test_records_follow_xenvar_reading(tmp_path):
    f = tmp_path / "rep.fa"
    # Sequence before the first header takes the file's name; blanks and CR go; '>' in
    # mid-line opens a header; a header without a word takes the file's name.
    f.write_bytes(b"AC GT\r\n>one two\nAAC\nc\t>x y\nGG\n")
    assert t.read_records(str(f)) == {str(f): b"ACGT", "one": b"AACc", "x": b"GG"}
    f.write_bytes(b">\nAC\n>b\n\n")
    assert t.read_records(str(f)) == {str(f): b"AC", "b": b""}


def test_windows_are_no_longer_than_the_largest_product():
    regions = [("a", 0, 30), ("a", 40, 60), ("a", 95, 130), ("a", 300, 310), ("b", 5, 260)]
    assert t.windows(regions, 100, 18) == [
        ("a", 0, 60, [(0, 30), (40, 60)]),  # a region on the edge is cut, its 5 symbols too few
        ("a", 100, 130, [(100, 130)]),      # for a primer; the rest opens the next window
        ("b", 5, 105, [(5, 105)]), ("b", 105, 205, [(105, 205)]), ("b", 205, 260, [(205, 260)]),
    ]  # a's region of 10 at 300 is shorter than a primer: no window


def test_ok_regions_pair_pieces_far_enough_apart():
    pieces = [(100, 130), (140, 160), (230, 260)]
    # Offsets from the window's start 100; a pair spans at least the shortest product (70).
    assert t.ok_regions(100, pieces, 70) == "0,30,130,30;40,20,130,30"
    assert t.ok_regions(100, pieces[:2], 70) == ""


def test_gz_representative_named_by_the_bed_gives_sharded_records(tmp_path, capsys):
    seq = "ACGT" * 100
    rep = tmp_path / "rep.fna.gz"
    with gzip.open(rep, "wt") as f:
        f.write(">chr1 desc\n" + seq[:200] + "\n" + seq[200:] + "\n")
    bed = tmp_path / "sig.bed"
    bed.write_text(f"#Representative file (set): {rep}\n#Node: 0\n"
                   "chr1\t10\t40\tchr1:11-40\t18\t.\nchr1\t120\t150\tchr1:121-150\t18\t.\n"
                   "chr1\t200\t230\tchr1:201-230\t18\t.\nchr1\t300\t400\tchr1:301-400\t18\t.\n")
    # Windows 10-210 (its last 10 symbols too few for a primer) and 210-410.
    outs = [tmp_path / "t0", tmp_path / "t1"]
    t.main(["--bed", str(bed), "--product", "70-200", "--primer-min", "18", "--out"] + [str(o) for o in outs])
    assert outs[0].read_text() == (
        f"SEQUENCE_ID=chr1:11-150\nSEQUENCE_TEMPLATE={seq[10:150]}\n"
        "SEQUENCE_PRIMER_PAIR_OK_REGION_LIST=0,30,110,30\n=\n")
    assert outs[1].read_text() == (
        f"SEQUENCE_ID=chr1:211-400\nSEQUENCE_TEMPLATE={seq[210:400]}\n"
        "SEQUENCE_PRIMER_PAIR_OK_REGION_LIST=0,20,90,100;90,100,90,100\n=\n")
    assert "4 signature regions, 2 templates" in capsys.readouterr().err
