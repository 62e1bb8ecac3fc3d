"""Taylor-Butina clustering on threshold neighbours, in memory for the
neighbour lists plus O(N), never the N x N matrix.

The result is that of RDKit's ``rdkit.ML.Cluster.Butina.ClusterData`` fed
with the distances ``1 - TanimotoSimilarity`` and ``1 - threshold``: the
same clusters, the same members in the same order, centroid first.  The
only difference is that neighbours are pairs scoring at least `threshold`,
where RDKit compares the distance ``1 - score`` with ``1 - threshold``;
the two agree unless a score lies within rounding of the threshold.

Pairs score as RDKit scores them, so under Tanimoto two empty fingerprints
are identical (RDKit's ``TanimotoSimilarity`` gives 1.0 where the
similarity functions give 0.0) and all the empty ones are neighbours.
"""

from __future__ import annotations

import heapq
from typing import List, Tuple

import numpy as np

from .checks import check_threads, check_threshold
from .errors import QuarnelError
from .interrupt import check_interrupt
from .metrics import as_metric, is_symmetric
from .progress import progress_bar
from .resolve import Fingerprints, resolved
from .similarity import internal_neighbours


def butina(fingerprints, threshold: float, *, reordering: bool = False, metric="tanimoto", n_threads: int = -1,
           progress: bool = False) -> Tuple[Tuple[int, ...], ...]:
    """Taylor-Butina clustering of `fingerprints`, in any form the package
    takes (`quarnel.resolve`: ExplicitBitVect sequences, fingerprint files,
    Databases and sharded databases, molecule files, SMILES).

    Molecules scoring at least `threshold` with each other are neighbours.
    The molecule with the most neighbours (the higher row among equals)
    becomes the first centroid, with its unassigned neighbours as members;
    then the next, and so on.  With `reordering`, neighbour counts are
    updated after each cluster to count only unassigned neighbours.
    `metric` scores the pairs (`quarnel.metrics`; a symmetric one, since
    neighbourhood is mutual), as RDKit scores them: under Tanimoto two empty
    fingerprints score 1.0, so the empty ones are all neighbours of each
    other, as with RDKit's ``BulkTanimotoSimilarity`` distances.

    Returns
    -------
    tuple of tuples of int
        The clusters, largest centroid count first; each starts with its
        centroid.  Members are input positions: a molecule RDKit could not
        parse is in no cluster, and the others keep their numbers.

    Examples
    --------
    >>> clusters = quarnel.butina(fps, 0.6)
    >>> clusters[0]
    (412, 17, 233, 980)
    """
    threshold = check_threshold(threshold)
    n_threads = check_threads(n_threads)
    metric = as_metric(metric)
    if not is_symmetric(metric):
        raise QuarnelError(f"Butina clustering needs a symmetric metric, not {metric} (use Tversky with "
                           "alpha == beta, or another metric)")
    with resolved(fingerprints, progress=progress) as rows, \
            progress_bar(progress, "cluster: finding neighbours", "phase", total=1) as phase:
        indptr, indices, scores = internal_neighbours(rows, threshold, n_threads, metric)
        del scores  # a third of the lists, and clustering needs only who is whose neighbour
        # Above 0 the engine's lists hold no pair with an empty row, since
        # it scores those 0.0; RDKit makes the empty rows one clique.
        clique = _empty_rows(rows) if metric == "tanimoto" and threshold > 0.0 else None
        phase.update(1)
        positions = rows.positions
    neighbours = Neighbours(indptr, indices, clique)
    with progress_bar(progress, "cluster: assigning", "mol", total=neighbours.n) as bar:
        clusters = _clusters_reordering(neighbours, bar) if reordering else _clusters(neighbours, bar)
    if positions is None:
        return clusters
    places = positions.tolist()
    return tuple(tuple(places[row] for row in cluster) for cluster in clusters)


def _empty_rows(rows: Fingerprints) -> np.ndarray:
    """The rows with no bit set, ascending."""
    found = [np.zeros(0, np.int64)]
    for window in rows.windows():
        check_interrupt()
        empty = np.flatnonzero(~window.words().any(axis=1))
        found.append(empty + window.first_row + window.offset)
    return np.concatenate(found)


class Neighbours:
    """Each row's neighbours, ascending, in CSR form, and a clique of rows
    with no neighbour outside it, kept as one list rather than as all its
    pairs."""

    def __init__(self, indptr, indices, clique=None):
        self.indptr = np.asarray(indptr, dtype=np.int64)
        self.indices = indices
        self.n = len(self.indptr) - 1
        self.counts = np.diff(self.indptr)
        self.clique = clique if clique is not None and len(clique) > 1 else np.zeros(0, np.int64)
        self.in_clique = np.zeros(self.n, dtype=bool)
        self.in_clique[self.clique] = True
        self.counts[self.clique] += len(self.clique) - 1

    def of(self, row: int) -> np.ndarray:
        if self.in_clique[row]:
            return self.clique[self.clique != row]
        return self.indices[self.indptr[row]:self.indptr[row + 1]]

    def centroid_order(self) -> np.ndarray:
        """Rows by neighbour count, descending, and among equal counts the
        higher row first, as RDKit's reverse sort of (count, row) gives."""
        rows = np.arange(self.n)
        return np.lexsort((-rows, -self.counts))


def _clusters(neighbours: Neighbours, bar) -> Tuple[Tuple[int, ...], ...]:
    seen = np.zeros(neighbours.n, dtype=bool)
    clusters: List[Tuple[int, ...]] = []
    for centroid in neighbours.centroid_order().tolist():
        check_interrupt()
        if seen[centroid]:
            continue
        candidates = neighbours.of(centroid)
        members = candidates[~seen[candidates]]
        seen[members] = True
        # RDKit leaves the centroid itself unmarked; no later cluster can
        # take it, since its neighbours are all assigned by now.
        clusters.append((centroid, *members.tolist()))
        bar.update(1 + len(members))
    return tuple(clusters)


def _clusters_reordering(neighbours: Neighbours, bar) -> Tuple[Tuple[int, ...], ...]:
    """The same, with counts of unassigned neighbours kept up to date.

    RDKit rescans and resorts all remaining rows after every cluster; a heap
    of (count, row) with stale entries skipped pops the same row each time.
    A row whose count was updated holds its neighbours as the Python set
    RDKit makes (`set(...).difference(cluster)`, the same operations on the
    same values), because a centroid's members are listed in that set's
    iteration order."""
    n = neighbours.n
    seen = np.zeros(n, dtype=bool)
    taken = np.zeros(n, dtype=bool)  # popped as a centroid
    counts = neighbours.counts.copy()
    updated = {}  # row -> its neighbour set, once a cluster touched it
    heap = [(-int(c), -r) for r, c in enumerate(counts.tolist())]
    heapq.heapify(heap)
    clusters: List[Tuple[int, ...]] = []
    while heap:
        check_interrupt()
        count, row = heapq.heappop(heap)
        centroid = -row
        if taken[centroid] or -count != counts[centroid]:
            continue  # a stale entry
        taken[centroid] = True
        if seen[centroid]:
            continue
        if centroid in updated:
            members = [m for m in updated[centroid] if not seen[m]]
            seen[members] = True
        else:
            candidates = neighbours.of(centroid)
            members = candidates[~seen[candidates]].tolist()
            seen[members] = True
        cluster = [centroid, *members]
        _update_counts(neighbours, cluster, seen, taken, counts, updated, heap)
        clusters.append(tuple(cluster))
        bar.update(len(cluster))
    return tuple(clusters)


def _update_counts(neighbours, cluster, seen, taken, counts, updated, heap):
    """Every unassigned row next to a member of the new cluster loses the
    members from its neighbours."""
    # A clique's members neighbour only each other, and are all in this
    # cluster once one of them is.
    touched = np.unique(np.concatenate([np.zeros(0, np.int64)] + [
        neighbours.of(member) for member in cluster if not neighbours.in_clique[member]]))
    touched = touched[~seen[touched] & ~taken[touched]]
    for row in touched.tolist():
        current = updated.get(row)
        if current is None:
            current = neighbours.of(row).tolist()
        reduced = set(current).difference(cluster)
        updated[row] = reduced
        if len(reduced) != counts[row]:
            counts[row] = len(reduced)
            heapq.heappush(heap, (-len(reduced), -row))
