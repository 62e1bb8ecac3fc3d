"""An output never replaces a file it is made from.

Written under the name of one of its inputs, or of a file that belongs to
an input database (a sidecar, a shard of a sharded database, a shard's
sidecar), an output would replace that file once complete: the hits of a
search written over the database searched.  The command line and the
Python API refuse it with the same check, before any work."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterable, Iterator, Tuple

from .errors import QuarnelError
from .file_kinds import SHARD_SET_SUFFIX
from .fingerprint_file import metadata_path, names_path
from .shards import manifest_shard_paths


def _with_sidecars(path: Path, role: str, sidecar_role: str) -> Iterator[Tuple[Path, str]]:
    yield path, role
    yield names_path(path), sidecar_role
    yield metadata_path(path), sidecar_role


def files_of(given) -> Iterator[Tuple[Path, str]]:
    """(file, what it is to `given`) for every file that makes up `given`:
    a path or an opened database, with its sidecars and, for a sharded
    database, each shard with its sidecars."""
    path = Path(os.fspath(getattr(given, "path", given)))
    shards = getattr(given, "shards", None)
    if shards is not None:
        shard_paths = [shard.path for shard in shards]
    elif path.suffix == SHARD_SET_SUFFIX:
        shard_paths = manifest_shard_paths(path)
    else:
        shard_paths = []
    yield from _with_sidecars(path, "the input", "a sidecar of")
    for shard in shard_paths:
        yield from _with_sidecars(shard, "a shard of", "a sidecar of a shard of")


def refuse_overwrite(output, inputs: Iterable) -> None:
    """Raises QuarnelError where the file `output` is one of the files of
    `inputs` (paths or opened databases); a stream, ``-`` or a name not
    yet taken passes."""
    if output is None or hasattr(output, "write") or output == "-":
        return
    output = os.fsdecode(os.fspath(output))
    if not os.path.exists(output):
        return
    for given in inputs:
        if not (isinstance(given, (str, bytes, os.PathLike)) or hasattr(given, "path")):
            continue  # fingerprints in memory
        for path, role in files_of(given):
            if os.path.exists(path) and os.path.samefile(output, path):
                shown = os.fsdecode(os.fspath(getattr(given, "path", given)))
                raise QuarnelError(f"{output}: this is {role} {shown}, which the output would replace; "
                                   "name another output file")
