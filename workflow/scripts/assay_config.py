"""What the Snakefile's assay rules read from the configuration: the genomes behind the -L and
-R lists, the xenvar options of the signature run, the quorum of left and right genomes, and
Primer3's settings file. Imported by the Snakefile; the functions are plain so that they are
tested without Snakemake."""
import math
import shlex

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


def _option_value(options, name):
    """The last value given to a long option (--name V or --name=V), or None."""
    value, words = None, shlex.split(options)
    for i, word in enumerate(words):
        if word == name and i + 1 < len(words):
            value = words[i + 1]
        elif word.startswith(name + "="):
            value = word[len(name) + 1:]
    return value


def _count_or_percent(text, option):
    """(number, is_percent) of N or P%, P a decimal number."""
    try:
        if text.endswith("%"):
            value = float(text[:-1])
            if 0 <= value <= 100:
                return value, True
        else:
            value = int(text)
            if value >= 0:
                return value, False
    except ValueError:
        pass
    raise ValueError(f"config: {option} takes N or P% (0 to 100), not '{text}'")


def left_quorum(options, left):
    """How many of the `left` genomes an assay must amplify: --min-left N or P% (ceil(P x left /
    100), at least 1), all of them without it."""
    text = _option_value(options, "--min-left")
    if text is None:
        return left
    value, percent = _count_or_percent(text, "--min-left")
    need = math.ceil(value * left / 100) if percent else value
    return max(1, min(need, left))


def right_tolerated(options, right):
    """How many of the `right` genomes an assay may amplify: --max-right N or P% (floor(P x right
    / 100)), none without it."""
    text = _option_value(options, "--max-right")
    if text is None:
        return 0
    value, percent = _count_or_percent(text, "--max-right")
    return min(math.floor(value * right / 100) if percent else value, right)


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
