"""Primer3's pairs placed on the representative, and placements paired into products."""
import assay_primers
import assay_report as r

H = r.Hit


def test_pairs_take_positions_from_the_template_place():
    record = {"SEQUENCE_ID": "chr:101-300", "PRIMER_PAIR_NUM_RETURNED": "1", "PRIMER_PAIR_0_PENALTY": "0.5",
              "PRIMER_PAIR_0_PRODUCT_SIZE": "91", "PRIMER_LEFT_0_SEQUENCE": "ACGT", "PRIMER_LEFT_0": "23,20",
              "PRIMER_LEFT_0_TM": "60.1", "PRIMER_LEFT_0_GC_PERCENT": "50.0", "PRIMER_RIGHT_0_SEQUENCE": "TTGC",
              "PRIMER_RIGHT_0": "113,20", "PRIMER_RIGHT_0_TM": "59.5", "PRIMER_RIGHT_0_GC_PERCENT": "45.0"}
    (pair,) = assay_primers.pairs_of(record)
    # Template offsets from 0; the product runs from base 124 to base 214 of the record: 91 bp.
    assert (pair["pair"], pair["left_start"], pair["right_end"], pair["probe"]) == ("chr:101-300.0", 124, 214, "")


def test_sam_lists_every_placement_and_flags_cut_lists(tmp_path):
    sam = tmp_path / "g.sam"
    sam.write_text("@SQ\tSN:c1\tLN:9000\n"
                   "p|L\t0\tc1\t101\t0\t20M\t*\t0\t0\tA\t*\tX0:i:1\tX1:i:1\tXA:Z:c2,-501,20M,1;\n"
                   "p|R\t16\tc1\t250\t0\t20M\t*\t0\t0\tA\t*\tX0:i:3\tX1:i:0\n"
                   "q|L\t4\t*\t0\t0\t*\t*\t0\t0\tA\t*\n")
    hits, incomplete = r.sam_hits(str(sam))
    assert hits == {"p|L": [H("c1", 100, "+"), H("c2", 500, "-")], "p|R": [H("c1", 249, "-")]}
    assert incomplete == {"p|R"}  # 3 best placements, 1 listed


def test_a_product_needs_facing_strands_one_contig_and_its_size():
    plus = [H("c", 100, "+")]
    assert r.amplifies(plus, [H("c", 180, "-")], 20, 70, 100)      # 100 to 200: 100 bp
    assert not r.amplifies(plus, [H("c", 181, "-")], 20, 70, 100)  # 101 bp
    assert not r.amplifies(plus, [H("c", 149, "-")], 20, 70, 100)  # 69 bp
    assert not r.amplifies(plus, [H("d", 150, "-")], 20, 70, 100)
    assert not r.amplifies(plus, [H("c", 150, "+")], 20, 70, 100)
    assert not r.amplifies([H("c", 100, "-")], [H("c", 150, "-")], 20, 70, 100)
    pair = {"pair": "p", "left": "A" * 20, "right": "A" * 20}
    # The right primer may bind the plus strand and the left the minus strand.
    assert r.pair_amplifies(pair, {"p|R": [H("c", 0, "+")], "p|L": [H("c", 60, "-")]}, set(), 70, 100)
    assert r.pair_amplifies(pair, {"p|R": [H("c", 0, "+")], "p|L": [H("d", 9, "+")]}, {"p|L"}, 70, 100)


def test_assays_come_first_then_fewer_right_and_more_left_genomes():
    pairs = [{"pair": n, "penalty": p} for n, p in (("a", "0.1"), ("b", "0.9"), ("c", "0.2"), ("d", "0.3"))]
    left = {"a": ["L1"], "b": ["L1", "L2"], "c": ["L1", "L2"], "d": ["L1", "L2"]}
    right = {"a": [], "b": [], "c": ["R1"], "d": []}
    rows = r.ranked(pairs, left, right, 2, 3, 2, 0)
    assert [(row["pair"], row["assay"]) for row in rows] == [("d", "yes"), ("b", "yes"), ("a", "no"), ("c", "no")]
    assert (rows[3]["left_amplified"], rows[3]["right_amplified"], rows[3]["right_genomes"]) == ("2/2", "1/3", "R1")
