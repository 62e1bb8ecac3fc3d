"""Search results: the hits of every query, with the names of both sides
and each query's position in its input."""

from __future__ import annotations

from typing import Iterator, List

import numpy as np

from .fingerprint_file import clean_name

TSV_COLUMNS = ("query", "query_row", "rank", "target", "target_row", "score")


class SearchResult:
    """Top-k hits: `indices` (int64 database rows; for molecules given in
    memory, their positions in that input) and `scores` (float64), both
    (queries, k'), best first and equal scores by the lower row, with the
    names of both sides.

    `query_rows` gives each result row's position in the query input
    (records RDKit could not parse have no row: they are in `skipped`, as
    `quarnel.resolve.Skipped` values)."""

    def __init__(self, indices, scores, query_names, target_names, query_rows=None, skipped=()):
        self.indices = indices
        self.scores = scores
        self.query_names = query_names
        self.target_names = target_names
        self.query_rows = (np.arange(len(indices), dtype=np.int64) if query_rows is None
                           else np.asarray(query_rows, dtype=np.int64))
        self.skipped = list(skipped)

    def __len__(self):
        return len(self.indices)

    def __repr__(self) -> str:
        skipped = f", {len(self.skipped)} skipped" if self.skipped else ""
        best = f", best score {float(np.max(self.scores)):.3f}" if self.scores.size else ""
        return f"<{type(self).__name__}: {len(self)} queries, {self.indices.size} hits{best}{skipped}>"

    def _span(self, query: int) -> range:
        """Where the hits of result row `query` lie in the flattened arrays."""
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

    def write_tsv(self, stream) -> None:
        """Tab-separated hits with a header line; scores in the shortest
        form that reads back as the same float64.  Tabs, newlines and
        carriage returns within names are written as spaces, so that every
        line has exactly the header's fields."""
        stream.write("\t".join(TSV_COLUMNS) + "\n")
        for query, query_row, rank, target, row, score in self.hits():
            stream.write(f"{clean_name(query)}\t{query_row}\t{rank}\t{clean_name(target)}\t{row}\t{score!r}\n")


class ThresholdResult(SearchResult):
    """Every hit of at least a threshold, per query: `indptr`, `indices`
    (int64 database rows) and `scores` (float64) in CSR form, each query's
    hits best first and equal scores by the lower row."""

    def __init__(self, indptr, indices, scores, query_names, target_names, query_rows=None, skipped=()):
        self.indptr = np.asarray(indptr, dtype=np.int64)
        super().__init__(indices, scores, query_names, target_names,
                         np.arange(len(self.indptr) - 1) if query_rows is None else query_rows, skipped)

    def __len__(self):
        return len(self.indptr) - 1

    def _span(self, query: int) -> range:
        return range(int(self.indptr[query]), int(self.indptr[query + 1]))


def empty_topk(n_queries: int):
    return np.zeros((n_queries, 0), np.int64), np.zeros((n_queries, 0), np.float64)

