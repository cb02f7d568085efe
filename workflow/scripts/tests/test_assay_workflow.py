"""The assay target end to end with the real tools, on generated genomes with a planted fault.

Two left genomes hold a stretch that the right genomes hold too, with changes: one right genome
has a single mismatch in the left primer's site, the other three; both differ from the left
ones at one more base next to the right primer's site, so that the site is signature sequence
too but the same in every genome. With the default tolerance of 2 mismatches the pair
amplifies the first right genome and not the second.
"""
import csv
import os
import random
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
XENVAR = os.environ.get("XENVAR_BIN", os.path.join(ROOT, "build", "xenvar"))


def planted_genomes(folder):
    rng = random.Random(11)
    seq = lambda n, alphabet="ACGT": "".join(rng.choice(alphabet) for _ in range(n))

    def balanced(n):  # half G or C: a good primer site
        while True:
            s = seq(n)
            if abs(sum(ch in "GC" for ch in s) - n // 2) <= 1:
                return s

    # Runs of one base around the sites keep each primer across its site's middle: Primer3 takes
    # no primer with a run of more than 5. The right site starts with 5 As after the A that
    # differs, so no primer reaches over it.
    stretch = "T" * 30 + balanced(22) + "A" * 12 + balanced(70) + "A" * 24 + "A" * 5 + balanced(19) + "T" * 30
    x, y = 41, 157  # the left site's middle; the last A before the right site

    def changed(positions):
        s = list(stretch)
        for p in positions:
            s[p] = next(ch for ch in "ACGT" if ch != s[p] and ch != "TGCA"["ACGT".index(s[p])])
        return "".join(s)

    background = seq(6000)
    genomes = {"left1": stretch, "left2": stretch, "one_mismatch": changed([x, y]),
               "three_mismatches": changed([x - 2, x, x + 2, y])}
    for name, s in genomes.items():
        with open(os.path.join(folder, name + ".fa"), "w") as f:
            f.write(f">{name}\n{background[:3000]}{s}{background[3000:]}\n")
    return {name: background[:3000] + s for name, s in genomes.items()}


def revcomp(s):
    return s[::-1].translate(str.maketrans("ACGT", "TGCA"))


def assay(folder, right):
    """Runs the assay target on left1 and left2 against `right`; the table's text."""
    (folder / "config.yaml").write_text(
        f"xenvar: '{XENVAR}'\nleft: [left1.fa, left2.fa]\nright: {right}\n"
        "options: ''\nchunk_size: 100000\nchunks_per_job: 1\nthreads: 1\nmem_mb: 0\noutdir: run\n")
    run = subprocess.run([sys.executable, "-m", "snakemake", "-q", "-s", os.path.join(ROOT, "workflow", "Snakefile"),
                          "--cores", "2", "--configfile", "config.yaml", "--", "assay"],
                         cwd=folder, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    return (folder / "run" / "assays.tsv").read_text()


def test_no_signature_gives_an_empty_table_with_a_note(tmp_path):
    planted_genomes(tmp_path)
    table = assay(tmp_path, "[left1.fa]")
    assert table.startswith("# no signature region of primer-sized tags") and table.count("\n") == 2


def test_one_mismatch_amplifies_and_three_do_not(tmp_path):
    genomes = planted_genomes(tmp_path)
    table = assay(tmp_path, "[one_mismatch.fa, three_mismatches.fa]")
    rows = list(csv.DictReader((line for line in table.splitlines() if not line.startswith("#")), delimiter="\t"))
    assert len(rows) == 1, table
    pair = rows[0]
    # The premise: Primer3 put the pair on the planted sites.
    start, end = int(pair["left_start"]) - 1, int(pair["right_end"])
    left, right = pair["left"], revcomp(pair["right"])
    mismatches = {name: (sum(a != b for a, b in zip(left, g[start:])), g[end - len(right):end] == right)
                  for name, g in genomes.items()}
    assert mismatches == {"left1": (0, True), "left2": (0, True), "one_mismatch": (1, True),
                          "three_mismatches": (3, True)}
    assert (pair["left_amplified"], pair["left_genomes"]) == ("2/2", "left1,left2")
    assert (pair["right_amplified"], pair["right_genomes"]) == ("1/2", "one_mismatch")
    assert pair["assay"] == "no" and int(pair["product_size"]) == end - start
    assert (tmp_path / "run" / "assays.fa").read_text() == ""
    assert (tmp_path / "run" / "assays.svg").read_text().count("<svg") == 1
