"""Search results: the hits of every query, with the names of both sides
and each query's position in its input."""

from __future__ import annotations

import io
import operator
import os
from typing import Iterator, List, Optional

import numpy as np

from .atomic import atomic_output
from .fingerprint_file import clean_name

TSV_COLUMNS = ("query", "query_row", "rank", "target", "target_row", "score")


class SearchResult:
    """Top-k hits: `indices` (int64 database rows; for molecules given in
    memory, their positions in that input) and `scores` (float64), both
    (queries, k'), best first and equal scores by the lower row, with the
    names of both sides.

    `query_rows` gives each result row's position in the query input
    (records RDKit could not parse have no row: they are in `skipped`, as
    `quarnel.resolve.Skipped` values).  `k` is the number of hits asked
    for per query; a query has fewer where the database has fewer rows.

    Result rows are indexed as Python sequences are: ``hit_names(-1)`` is
    the last query's, and a row past the end is an IndexError."""

    def __init__(self, indices, scores, query_names, target_names, query_rows=None, skipped=(),
                 k: Optional[int] = None):
        self.indices = indices
        self.scores = scores
        self.query_names = query_names
        self.target_names = target_names
        self.query_rows = (np.arange(len(indices), dtype=np.int64) if query_rows is None
                           else np.asarray(query_rows, dtype=np.int64))
        self.skipped = list(skipped)
        self.k = k

    def __len__(self):
        return len(self.indices)

    def __repr__(self) -> str:
        skipped = f", {len(self.skipped)} skipped" if self.skipped else ""
        best = f", best score {float(np.max(self.scores)):.3f}" if self.scores.size else ""
        return (f"<{type(self).__name__}: {len(self)} queries, {self.indices.size} hits ({self._limits()})"
                f"{best}{skipped}>")

    def _limits(self) -> str:
        """What bounded the hits, for the repr."""
        width = self.indices.shape[1] if self.indices.ndim == 2 else 0
        return f"k={self.k if self.k is not None else width}"

    def _row(self, query) -> int:
        """Result row `query` as a position from 0, counted from the end when
        negative, as a list's index is."""
        try:
            position = operator.index(query)
        except TypeError:
            raise TypeError(f"query rows are whole numbers, not {type(query).__name__}") from None
        count = len(self)
        if not -count <= position < count:
            raise IndexError(f"query row {position} out of range for {count} queries")
        return position + count if position < 0 else position

    def _span(self, query) -> range:
        """Where the hits of result row `query` lie in the flattened arrays."""
        query = self._row(query)
        width = self.indices.shape[1] if self.indices.ndim == 2 else 0
        return range(query * width, (query + 1) * width)

    def _spans(self) -> Iterator[range]:
        return (self._span(query) for query in range(len(self)))

    def _flat(self):
        return self.indices.reshape(-1).tolist(), self.scores.reshape(-1).tolist()

    def hit_names(self, query: int) -> List[str]:
        """The names of the hits of result row `query`, best first."""
        span = self._span(query)
        rows = self.indices.reshape(-1)[span.start:span.stop]
        return [self.target_names[row] for row in rows.tolist()]

    def hits(self) -> Iterator[tuple]:
        """(query, query_row, rank, target, target_row, score) per hit,
        ranks from 1; query_row is the query's position in its input."""
        indices, scores = self._flat()
        positions = self.query_rows.tolist()
        for query, span in enumerate(self._spans()):
            name = self.query_names[query]
            for rank, at in enumerate(span, start=1):
                yield name, positions[query], rank, self.target_names[indices[at]], indices[at], scores[at]

    def records(self) -> List[dict]:
        """The hits as dictionaries keyed by the TSV's column names."""
        return [dict(zip(TSV_COLUMNS, hit)) for hit in self.hits()]

    def to_pandas(self):
        """The hits as a pandas DataFrame with the TSV's columns (needs
        pandas)."""
        try:
            import pandas
        except ImportError:
            raise ImportError("SearchResult.to_pandas needs pandas (Debian: python3-pandas)") from None
        frame = pandas.DataFrame.from_records(list(self.hits()), columns=list(TSV_COLUMNS))
        return frame.astype({"query_row": "int64", "rank": "int64", "target_row": "int64", "score": "float64"})

    def write_tsv(self, target) -> None:
        """Tab-separated hits with a header line; scores in the shortest
        form that reads back as the same float64.  Tabs, newlines and
        carriage returns within names are written as spaces, so that every
        line has exactly the header's fields.

        `target` is a path (str or os.PathLike), written as UTF-8 and
        appearing only when complete, or an open stream, text or binary."""
        if hasattr(target, "write"):
            self._write_lines(target)
            return
        if not isinstance(target, (str, bytes, os.PathLike)):
            raise TypeError(f"write_tsv takes a path or an open file, not {type(target).__name__}")
        with atomic_output(os.fsdecode(os.fspath(target)), "w") as stream:
            self._write_lines(stream)

    def _write_lines(self, stream) -> None:
        write = (lambda text: stream.write(text.encode("utf-8"))) if _is_binary(stream) else stream.write
        write("\t".join(TSV_COLUMNS) + "\n")
        for query, query_row, rank, target, row, score in self.hits():
            write(f"{clean_name(query)}\t{query_row}\t{rank}\t{clean_name(target)}\t{row}\t{score!r}\n")


class ThresholdResult(SearchResult):
    """Every hit of at least `threshold`, per query: `indptr`, `indices`
    (int64 database rows) and `scores` (float64) in CSR form, each query's
    hits best first and equal scores by the lower row; at most `k` a query
    where k is not None."""

    def __init__(self, indptr, indices, scores, query_names, target_names, query_rows=None, skipped=(),
                 k: Optional[int] = None, threshold: Optional[float] = None):
        self.indptr = np.asarray(indptr, dtype=np.int64)
        super().__init__(indices, scores, query_names, target_names,
                         np.arange(len(self.indptr) - 1) if query_rows is None else query_rows, skipped, k)
        self.threshold = threshold

    def __len__(self):
        return len(self.indptr) - 1

    def _limits(self) -> str:
        at_least = f"threshold {self.threshold:g}, " if self.threshold is not None else ""
        return at_least + ("k=all" if self.k is None else f"k={self.k}")

    def _span(self, query) -> range:
        query = self._row(query)
        return range(int(self.indptr[query]), int(self.indptr[query + 1]))


def _is_binary(stream) -> bool:
    """Whether `stream` takes bytes: a binary file, sys.stdout.buffer, a
    BytesIO or a gzip file."""
    mode = getattr(stream, "mode", None)
    return isinstance(stream, (io.RawIOBase, io.BufferedIOBase)) or (isinstance(mode, str) and "b" in mode)


def empty_topk(n_queries: int):
    return np.zeros((n_queries, 0), np.int64), np.zeros((n_queries, 0), np.float64)

