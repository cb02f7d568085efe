"""What the Snakefile reads from the configuration: the genomes behind the -L and -R lists,
the quorum of left and right genomes (and the side slots it costs xenvar a node), the xenvar
options of the assay's signature run, and Primer3's settings file. Imported by the Snakefile; the functions are plain so that they are
tested without Snakemake."""
import math
import re
import shlex
from fractions import Fraction

# xenvar options that choose what a run prints, with the number of values each takes: the
# signature run prints BED of primer-sized tags whatever the main run prints.
OUTPUT_OPTIONS = {"--format": 1, "--min-length": 1, "--max-length": 1, "-n": 1}
OUTPUT_LETTERS = set("CpHhfvXA")


def listed_files(names):
    """The files that the items of a -L or -R list stand for: an item @PATH for the names in the
    text file PATH, one a line (blank lines and lines starting with # skipped, trailing blanks
    and CR dropped), as xenvar reads them."""
    files = []
    for name in names:
        if not name.startswith("@"):
            files.append(name)
            continue
        with open(name[1:]) as f:
            for line in f:
                line = line.rstrip(" \t\r\n")
                if line and not line.startswith("#"):
                    files.append(line)
    return files


def signature_options(options, primer_min, primer_max):
    """The workflow's xenvar options for the signature run: the output options go, and BED of
    the tags of primer lengths comes, with -v for the representative file's name."""
    kept, words = [], shlex.split(options)
    i = 0
    while i < len(words):
        word = words[i]
        name = word.split("=", 1)[0]
        if name in OUTPUT_OPTIONS:
            i += 1 if "=" in word else 1 + OUTPUT_OPTIONS[name]
            continue
        if word.startswith("-n") and not word.startswith("--"):
            i += 1
            continue
        if word.startswith("-") and not word.startswith("--") and set(word[1:]) <= OUTPUT_LETTERS:
            i += 1
            continue
        kept.append(word)
        i += 1
    kept += ["-v", "--format", "bed", "--min-length", str(primer_min), "--max-length", str(primer_max)]
    return " ".join(shlex.quote(w) for w in kept)


def option_value(options, name, shortest):
    """The last value given to a long option (--name V or --name=V), under any prefix of at
    least `shortest` characters, as getopt_long takes it; None when absent."""
    value, words = None, shlex.split(options)
    for i, word in enumerate(words):
        given, equals, rest = word.partition("=")
        if len(given) >= shortest and name.startswith(given):
            value = rest if equals else (words[i + 1] if i + 1 < len(words) else None)
    return value


def files_of(value, files, left):
    """A --min-left (left) or --max-right value, N or P% with up to nine decimals, as a number
    of files as xenvar counts it: ceil(P x files / 100) and at least 1 for --min-left,
    floor(P x files / 100) for --max-right. None for a value that xenvar refuses."""
    match = re.fullmatch(r"(\d+)|(\d+(?:\.\d{1,9})?)%", value or "")
    if match is None:
        return None
    if match.group(1) is not None:
        return int(match.group(1))
    percent = Fraction(match.group(2))
    if percent > 100:
        return None
    share = percent * files / 100
    return max(1, math.ceil(share)) if left else math.floor(share)


def _quorum_option(options, name, shortest, files, left):
    value = option_value(options, name, shortest)
    if value is None:
        return None
    count = files_of(value, files, left)
    if count is None:
        raise ValueError(f"config: {name} takes N or P% (0 to 100), not '{value}'")
    return count


def left_quorum(options, left):
    """How many of the `left` genomes an assay must amplify: --min-left N or P%, all of them
    without it."""
    need = _quorum_option(options, "--min-left", len("--min-lef"), left, True)
    return left if need is None else max(1, min(need, left))


def right_tolerated(options, right):
    """How many of the `right` genomes an assay may amplify: --max-right N or P%, none without it."""
    tolerated = _quorum_option(options, "--max-right", len("--max-r"), right, False)
    return 0 if tolerated is None else min(tolerated, right)


def side_slots(options, left, right):
    """The 32-bit side slots a node that --min-left and --max-right cost xenvar: the larger of
    the left files a tag may miss (or, when fewer, the other left files beyond one that must
    hold it) and the right files that may hold it. Values that xenvar refuses cost nothing
    here: the run fails on its own."""
    n = files_of(option_value(options, "--min-left", len("--min-lef")), left, True) or left
    m = files_of(option_value(options, "--max-right", len("--max-r")), right, False) or 0
    return max(0 if n <= 1 else min(left - n, n - 2), m if m < right else 0, 0)


def primer3_settings(assay):
    """Primer3's settings file (P3_FILE_TYPE=settings) from the config's `assay` section."""
    low, high = assay["product_size"]
    size, tm, gc = assay["primer_size"], assay["primer_tm"], assay["primer_gc"]
    tags = {
        "PRIMER_TASK": "generic",
        "PRIMER_PICK_LEFT_PRIMER": 1,
        "PRIMER_PICK_RIGHT_PRIMER": 1,
        "PRIMER_PICK_INTERNAL_OLIGO": 1 if assay["probe"] else 0,
        "PRIMER_PRODUCT_SIZE_RANGE": f"{low}-{high}",
        "PRIMER_MIN_SIZE": size[0],
        "PRIMER_OPT_SIZE": size[1],
        "PRIMER_MAX_SIZE": size[2],
        "PRIMER_MIN_TM": tm[0],
        "PRIMER_OPT_TM": tm[1],
        "PRIMER_MAX_TM": tm[2],
        "PRIMER_MIN_GC": gc[0],
        "PRIMER_MAX_GC": gc[1],
        "PRIMER_NUM_RETURN": assay["pairs_per_template"],
        "PRIMER_THERMODYNAMIC_OLIGO_ALIGNMENT": 1 if assay["thermodynamic_alignment"] else 0,
    }
    if assay["probe"]:
        probe_size, probe_tm = assay["probe_size"], assay["probe_tm"]
        tags.update({
            "PRIMER_INTERNAL_MIN_SIZE": probe_size[0],
            "PRIMER_INTERNAL_OPT_SIZE": probe_size[1],
            "PRIMER_INTERNAL_MAX_SIZE": probe_size[2],
            "PRIMER_INTERNAL_MIN_TM": probe_tm[0],
            "PRIMER_INTERNAL_OPT_TM": probe_tm[1],
            "PRIMER_INTERNAL_MAX_TM": probe_tm[2],
        })
    lines = ["Primer3 File - http://primer3.org", "P3_FILE_TYPE=settings", "", "P3_FILE_ID=xenvar assay"]
    lines += [f"{k}={v}" for k, v in tags.items()]
    return "\n".join(lines) + "\n=\n"
