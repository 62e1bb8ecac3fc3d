"""quarnel: Tanimoto similarity over large sets of RDKit fingerprints, on all
cores, into NumPy arrays.

The eight functions of the `_quarnel` extension, raising invalid input
instead of printing it; fingerprint databases (`Database`); molecules to
fingerprints (`fingerprint_molecules`); diversity picking (`maxmin_pick`,
`leader_pick`); and the ``quarnel`` command line.
Distributed search is in `quarnel.distributed` (it imports Dask).
"""

from .clustering import butina
from .database import Database, SearchResult, save_database
from . import functions
from .errors import QuarnelError
from .functions import (
    bulk_tanimoto_mmap_threshold,
    bulk_tanimoto_parallel_threshold,
    internal_tanimoto_mmap_threshold,
    internal_tanimoto_parallel_threshold,
    bulk_tanimoto_mmap,
    bulk_tanimoto_mmap_topk,
    bulk_tanimoto_parallel,
    bulk_tanimoto_parallel_topk,
    internal_tanimoto_mmap,
    internal_tanimoto_parallel,
    load_fingerprints,
    save_fingerprints,
)
from .molecules import FingerprintReport, FingerprintSpec, fingerprint_molecules
from .picking import leader_pick, maxmin_pick
from .similarity import similarity_matrix

__version__ = "0.1.0"

__all__ = [
    *functions.__all__,
    "Database",
    "SearchResult",
    "save_database",
    "fingerprint_molecules",
    "FingerprintSpec",
    "FingerprintReport",
    "QuarnelError",
    "similarity_matrix",
    "butina",
    "maxmin_pick",
    "leader_pick",
]
