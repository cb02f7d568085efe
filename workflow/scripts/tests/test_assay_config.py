"""The configuration read for the assay: quorum, signature run options, genome lists."""
import pytest

import assay_config as c


@pytest.mark.parametrize("options,left,need", [
    ("", 5, 5), ("--both-strands", 1, 1),
    ("--min-left 3", 5, 3), ("--min-left=4 -C", 5, 4), ("--min-left 9", 5, 5),
    ("--min-left 50%", 5, 3), ("--min-left 60%", 5, 3), ("--min-left=61%", 5, 4),
    ("--min-left 0%", 5, 1), ("--min-left 0", 5, 1), ("--min-left 2 --min-left 1", 5, 1),
])
def test_left_quorum(options, left, need):
    assert c.left_quorum(options, left) == need


@pytest.mark.parametrize("options,right,tolerated", [
    ("", 4, 0), ("--max-right 1", 4, 1), ("--max-right=9", 4, 4),
    ("--max-right 50%", 5, 2), ("--max-right 19.9%", 5, 0), ("--max-right 100%", 5, 5),
])
def test_right_tolerated(options, right, tolerated):
    assert c.right_tolerated(options, right) == tolerated


@pytest.mark.parametrize("options", ["--min-left x", "--min-left -1", "--min-left 101%", "--max-right 2.5"])
def test_bad_quorum_values_are_refused(options):
    with pytest.raises(ValueError, match="takes N or P%"):
        c.left_quorum(options, 3), c.right_tolerated(options, 3)


def test_signature_options_keep_the_search_and_print_bed_of_primer_lengths():
    kept = c.signature_options("-C -p --both-strands -h -o 500 --format fasta --min-length=30 -n 7 "
                               "--ignore-case -Cp --max-length 40 -a --min-left 50%", 18, 25)
    assert kept == ("--both-strands -o 500 --ignore-case -a --min-left 50% "
                    "-v --format bed --min-length 18 --max-length 25")


def test_listed_files_expand_list_items(tmp_path):
    (tmp_path / "list.txt").write_text("# genomes\na.fa  \r\n\nb.fa.gz\n")
    assert c.listed_files(["x.fa", f"@{tmp_path}/list.txt"]) == ["x.fa", "a.fa", "b.fa.gz"]
