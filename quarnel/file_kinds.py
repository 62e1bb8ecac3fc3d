"""What kind of file a path names, from its name alone: a molecule file
(SMILES or SDF, optionally gzip-compressed), an FPS text file, a shard
manifest, or else a fingerprint file."""

from __future__ import annotations

import os
from typing import Optional

SMILES_SUFFIXES = (".smi", ".smiles", ".ism", ".can")
SDF_SUFFIXES = (".sdf", ".sd")
TABLE_SUFFIXES = {".csv": "csv", ".tsv": "tsv"}
FINGERPRINT_SUFFIX = ".qfp"
SHARD_SET_SUFFIX = ".qfpset"
FPS_SUFFIX = ".fps"
# The sidecars beside a fingerprint file: its names and its metadata.
SIDECAR_SUFFIXES = (".names", ".json")
KNOWN_SUFFIXES = (FINGERPRINT_SUFFIX, SHARD_SET_SUFFIX, FPS_SUFFIX, ".fp", ".gz", *SMILES_SUFFIXES, *SDF_SUFFIXES,
                  *TABLE_SUFFIXES)
# The molecule files there are, as error messages list them.
MOLECULE_FILES = ".smi, .smiles, .sdf, .sd, .csv or .tsv"


def _without_gz(path) -> str:
    name = os.fsdecode(os.fspath(path)).lower()
    return name[:-3] if name.endswith(".gz") else name


def molecule_file_kind(path) -> Optional[str]:
    """"smiles", "sdf", "csv" or "tsv" from the file name (a trailing .gz
    aside), or None."""
    name = _without_gz(path)
    if name.endswith(SMILES_SUFFIXES):
        return "smiles"
    if name.endswith(SDF_SUFFIXES):
        return "sdf"
    return next((kind for suffix, kind in TABLE_SUFFIXES.items() if name.endswith(suffix)), None)


def counts_lines(kind: str) -> bool:
    """Whether the records of a molecule file of this kind are numbered by
    line (SMILES files and tables) rather than by record (SD files)."""
    return kind != "sdf"


def is_fps_file(path) -> bool:
    """An FPS text file by its name: ``.fps``, or ``.fps.gz``."""
    return _without_gz(path).endswith(FPS_SUFFIX)


def misread_database_name(path) -> Optional[str]:
    """Why a fingerprint database must not be written under `path`: a name
    that would be read back as an FPS or molecule file, or that is a
    sidecar's name; None where it is fine."""
    shown = os.fsdecode(os.fspath(path))
    if shown.endswith(SIDECAR_SUFFIXES):
        return (f"{shown}: a sidecar's name (the names or metadata beside a database), which a database "
                f"written here would replace or be taken for; name it with {FINGERPRINT_SUFFIX}")
    if not is_fps_file(path) and molecule_file_kind(path) is None:
        return None
    named = f"{shown}: a fingerprint database of this name would be read back as"
    if is_fps_file(path):
        return (f"{named} an FPS file; name it with {FINGERPRINT_SUFFIX} "
                "(FPS files are written by `quarnel export` or Database.write_fps)")
    return f"{named} a molecule file; name it with {FINGERPRINT_SUFFIX}"


def not_a_database(path) -> str:
    """Why a molecule or FPS file cannot be opened as a fingerprint database."""
    shown = os.fsdecode(os.fspath(path))
    if is_fps_file(path):
        return (f"{shown}: not a fingerprint database but an FPS file; make one with "
                f"`quarnel fingerprint {shown}` (or quarnel.read_fps), or pass it to search and similarity "
                "functions as it is")
    return (f"{shown}: not a fingerprint database but a molecule file; make one with "
            f"`quarnel fingerprint {shown}` (or quarnel.fingerprint_molecules)")
