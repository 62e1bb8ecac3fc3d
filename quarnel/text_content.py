"""Text given where a fingerprint file belongs: a CSV table, a SMILES list
under another name, an SDF or FPS file not named as one.  Read as a
fingerprint file, its first eight characters make a header announcing
hundreds of millions of rows; what the user needs to hear instead is what
the file looks like and how to make a database of it."""

from __future__ import annotations

import os
from typing import Optional, Tuple

# Enough to see a few lines of any table, and little enough to read for
# every file whose header has already failed.
SAMPLE_BYTES = 4096
_WHITESPACE = frozenset("\t\n\r\f\v")


def decoded_text(sample: bytes, whole: bool) -> Optional[str]:
    """The sample as text, when it is printable UTF-8 (a character cut at
    the end of a partial sample aside); else None."""
    if not sample or b"\0" in sample:
        return None
    # In a partial sample a multi-byte character may straddle the end.
    for cut in range(1 if whole else 4):
        try:
            text = sample[:len(sample) - cut].decode("utf-8")
            break
        except UnicodeDecodeError:
            continue
    else:
        return None
    text = text.removeprefix("\ufeff")
    if not all(char.isprintable() or char in _WHITESPACE for char in text):
        return None
    return text


def _looks_like(text: str, shown: str) -> Tuple[str, str]:
    """(what the text looks like, how to make a database of it)."""
    lines = text.splitlines()
    first = lines[0] if lines else ""
    stem = os.path.splitext(os.path.basename(shown))[0] or "FILE"
    if first.strip() == "#FPS1":
        return ("an FPS file", f"name it {stem}.fps to search it as it is, or make a database with "
                               f"`quarnel fingerprint {stem}.fps`")
    if any(mark in text for mark in ("V2000", "V3000", "M  END", "$$$$")):
        return "an SDF file", f"name it {stem}.sdf and make a database with `quarnel fingerprint {stem}.sdf`"
    if text.lstrip().startswith(("{", "[")):
        if shown.endswith(".json"):
            return "JSON text", f"if it is a metadata sidecar, give the database it describes ({shown[:-5]})"
        return "JSON text", "a database is a fingerprint file (.qfp) or a shard manifest named .qfpset"
    if "\t" in first:
        return ("a tab-separated table of text", f"if it holds SMILES, name it {stem}.tsv and make a database "
                                                 f"with `quarnel fingerprint {stem}.tsv`")
    if "," in first or ";" in first:
        return ("a CSV table of text", f"if it holds SMILES, name it {stem}.csv and make a database with "
                                       f"`quarnel fingerprint {stem}.csv`")
    return ("text (SMILES, perhaps)", f"if it holds SMILES, name it {stem}.smi and make a database with "
                                      f"`quarnel fingerprint {stem}.smi`")


def text_instead_of_fingerprints(path, sample: bytes, whole: bool) -> Optional[str]:
    """Why the file at `path`, whose first bytes are `sample` (all of it
    when `whole`), is not a fingerprint file, when it is text; else None."""
    text = decoded_text(sample, whole)
    if text is None:
        return None
    shown = os.fsdecode(os.fspath(path))
    kind, fix = _looks_like(text, shown)
    return f"{shown}: not a fingerprint database: it looks like {kind}; {fix}"
