"""What kind of file a path names, from its name alone: a molecule file
(SMILES or SDF, optionally gzip-compressed), a shard manifest, or else a
fingerprint file."""

from __future__ import annotations

import os
from typing import Optional

SMILES_SUFFIXES = (".smi", ".smiles", ".ism", ".can")
SDF_SUFFIXES = (".sdf", ".sd")
FINGERPRINT_SUFFIX = ".qfp"
SHARD_SET_SUFFIX = ".qfpset"
KNOWN_SUFFIXES = (FINGERPRINT_SUFFIX, SHARD_SET_SUFFIX, ".fp", ".gz", *SMILES_SUFFIXES, *SDF_SUFFIXES)


def molecule_file_kind(path) -> Optional[str]:
    """"smiles" or "sdf" from the file name (a trailing .gz aside), or None."""
    name = os.fsdecode(os.fspath(path)).lower()
    if name.endswith(".gz"):
        name = name[:-3]
    if name.endswith(SMILES_SUFFIXES):
        return "smiles"
    if name.endswith(SDF_SUFFIXES):
        return "sdf"
    return None


def not_a_database(path) -> str:
    """Why a molecule file cannot be opened as a fingerprint database."""
    shown = os.fsdecode(os.fspath(path))
    return (f"{shown}: not a fingerprint database but a molecule file; make one with "
            f"`quarnel fingerprint {shown}` (or quarnel.fingerprint_molecules)")
