# Types of the _quarnel extension module.  The parameters and defaults are
# those of each function's __text_signature__ (a test compares them).
import os
from collections.abc import Sequence
from types import ModuleType
from typing import Optional, Tuple, Union

import numpy as np
import numpy.typing as npt
from rdkit.DataStructs import ExplicitBitVect

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Fingerprints = Sequence[ExplicitBitVect]
_Scores = npt.NDArray[np.float64]
_Indices = npt.NDArray[np.uint32]

__all__: list[str]
_checked: ModuleType
_pickers: ModuleType
_scoring: ModuleType

def save_fingerprints(fps: _Fingerprints, path: _Path) -> None: ...
def load_fingerprints(path: _Path) -> list[ExplicitBitVect]: ...
def bulk_tanimoto_parallel(
    py_fps: _Fingerprints, py_fps2: _Fingerprints, n_threads: int = ..., agg: Optional[str] = None
) -> _Scores: ...
def bulk_tanimoto_parallel_topk(
    py_fps: _Fingerprints, py_fps2: _Fingerprints, k: int = 10, n_threads: int = ...
) -> Tuple[_Indices, _Scores]: ...
def bulk_tanimoto_mmap(
    path1: _Path, path2: _Path, n_threads: int = ..., agg: Optional[str] = None, db_offset: int = 0,
    db_limit: int = 0
) -> _Scores: ...
def bulk_tanimoto_mmap_topk(
    path1: _Path, path2: _Path, k: int = 10, n_threads: int = ..., db_offset: int = 0, db_limit: int = 0
) -> Tuple[_Indices, _Scores]: ...
def internal_tanimoto_parallel(
    py_fps: _Fingerprints, n_threads: int = ..., agg: Optional[str] = None
) -> _Scores: ...
def internal_tanimoto_mmap(path: _Path, n_threads: int = ..., agg: Optional[str] = None) -> _Scores: ...

# Threshold search: (indptr int64, indices uint32, scores float64), CSR rows.
_Csr = Tuple[npt.NDArray[np.int64], _Indices, _Scores]

def bulk_tanimoto_parallel_threshold(
    py_fps: _Fingerprints, py_fps2: _Fingerprints, threshold: float, n_threads: int = ...
) -> _Csr: ...
def bulk_tanimoto_mmap_threshold(
    path1: _Path, path2: _Path, threshold: float, n_threads: int = ..., db_offset: int = 0, db_limit: int = 0
) -> _Csr: ...
def internal_tanimoto_parallel_threshold(py_fps: _Fingerprints, threshold: float, n_threads: int = ...) -> _Csr: ...
def internal_tanimoto_mmap_threshold(path: _Path, threshold: float, n_threads: int = ...) -> _Csr: ...
