"""quarnel: Tanimoto similarity over large sets of RDKit fingerprints, on all
cores, into NumPy arrays.

The twelve functions of the `_quarnel` extension, raising invalid input
instead of printing it; fingerprint databases (`Database`,
`ShardedDatabase`); search and similarity for fingerprints in any form
(`search`, `similarity_matrix`, `butina`); molecules to fingerprints
(`fingerprint_molecules`); diversity picking (`maxmin_pick`,
`leader_pick`); FPS files (`read_fps`, `write_fps`) and NumPy
arrays (`to_numpy`, `BitArray`, `PackedBits`) in and out; and the
``quarnel`` command line.  Distributed
search is in `quarnel.distributed` (it imports Dask).
"""

from . import functions
from .arrays import BitArray, PackedBits
from .clustering import butina
from .database import Database, ShardedDatabase, save_database, to_numpy, write_fps
from .errors import QuarnelError
from .functions import (
    bulk_tanimoto_mmap,
    bulk_tanimoto_mmap_threshold,
    bulk_tanimoto_mmap_topk,
    bulk_tanimoto_parallel,
    bulk_tanimoto_parallel_threshold,
    bulk_tanimoto_parallel_topk,
    internal_tanimoto_mmap,
    internal_tanimoto_mmap_threshold,
    internal_tanimoto_parallel,
    internal_tanimoto_parallel_threshold,
    load_fingerprints,
    save_fingerprints,
)
from .fps import FpsReport, read_fps
from .metrics import Tversky
from .molecules import FingerprintReport, fingerprint_molecules
from .picking import leader_pick, maxmin_pick
from .results import SearchResult, ThresholdResult
from .search import search
from .settings import FingerprintSpec
from .similarity import similarity, similarity_matrix
from .version import __version__

__all__ = [
    *functions.__all__,
    "Database",
    "ShardedDatabase",
    "SearchResult",
    "ThresholdResult",
    "save_database",
    "to_numpy",
    "write_fps",
    "BitArray",
    "PackedBits",
    "read_fps",
    "FpsReport",
    "search",
    "fingerprint_molecules",
    "FingerprintSpec",
    "FingerprintReport",
    "QuarnelError",
    "similarity",
    "similarity_matrix",
    "Tversky",
    "butina",
    "maxmin_pick",
    "leader_pick",
    "__version__",
]
