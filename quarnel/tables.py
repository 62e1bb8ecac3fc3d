"""CSV and TSV tables of molecules: one molecule a row, its SMILES in one
column and its name in another, read with Python's `csv` module (quoted
fields, a field running over several lines).

Columns are given by their header name or by their position counted from 0,
as RDKit's ``SmilesMolSupplier(smilesColumn=0, nameColumn=1)`` and pandas'
``iloc`` count them.  The first row is a header when a column is given by
name or when one of its cells is ``smiles`` (any case); otherwise every row
is a molecule.  By default the SMILES is the ``smiles`` column of a header,
else the first column, and the name the first other column.  Each record
keeps the number of the line it starts on; blank lines are skipped, and a
row without a SMILES gives no molecule, as one RDKit cannot parse.
"""

from __future__ import annotations

import csv
import dataclasses
import io
from typing import Iterator, List, Optional, Tuple, Union

from .errors import QuarnelError

DELIMITERS = {"csv": ",", "tsv": "\t"}
SMILES_HEADER = "smiles"

Column = Union[str, int, None]


def column_option(text: str) -> Union[str, int]:
    """A column as given on the command line: digits are a position from 0,
    anything else a header name."""
    return int(text) if text.isdigit() else text


@dataclasses.dataclass(frozen=True)
class Layout:
    """Where a table's SMILES and names are: column positions, and whether
    the first row is a header."""

    smiles: int
    name: Optional[int]
    header: bool


def _check_column(column: Column, what: str) -> None:
    if column is None or isinstance(column, str) and column:
        return
    if isinstance(column, bool) or not isinstance(column, int):
        raise TypeError(f"{what} must be a header name or a position from 0, not {column!r}")
    if column < 0:
        raise QuarnelError(f"{what} is a position counted from 0, not {column}")


def _find(header: List[str], column: str, what: str) -> int:
    if column in header:
        return header.index(column)
    folded = [cell.strip().casefold() for cell in header]
    if folded.count(column.strip().casefold()) == 1:
        return folded.index(column.strip().casefold())
    listed = ", ".join(repr(cell) for cell in header)
    raise QuarnelError(f"no column {column!r} for the {what} in the header row ({listed})")


def layout(first: List[str], smiles_column: Column, name_column: Column) -> Layout:
    """The layout a table's first row and the columns given make."""
    _check_column(smiles_column, "the SMILES column")
    _check_column(name_column, "the name column")
    folded = [cell.strip().casefold() for cell in first]
    header = isinstance(smiles_column, str) or isinstance(name_column, str) or SMILES_HEADER in folded
    if isinstance(smiles_column, str):
        smiles = _find(first, smiles_column, "SMILES")
    elif smiles_column is not None:
        smiles = smiles_column
    else:
        smiles = folded.index(SMILES_HEADER) if SMILES_HEADER in folded else 0
    if isinstance(name_column, str):
        name = _find(first, name_column, "names")
    elif name_column is not None:
        name = name_column
    else:
        name = next((position for position in range(len(first)) if position != smiles), None)
    if name == smiles and name_column is not None:
        raise QuarnelError(f"the name column is the SMILES column ({smiles})")
    return Layout(smiles, name, header)


def table_records(stream, kind: str, smiles_column: Column = None,
                  name_column: Column = None) -> Iterator[Tuple[int, str, str]]:
    """(line number, SMILES, name) for each row of a binary stream of a CSV
    or TSV table (UTF-8, a byte-order mark skipped); the SMILES is "" where
    the row has none."""
    text = io.TextIOWrapper(stream, encoding="utf-8-sig", errors="replace", newline="")
    rows = csv.reader(text, delimiter=DELIMITERS[kind])
    where: Optional[Layout] = None
    read = 0  # the lines read before the row at hand
    try:
        for row in rows:
            number, read = read + 1, rows.line_num
            if not row or not any(cell.strip() for cell in row):
                continue
            if where is None:
                where = layout(row, smiles_column, name_column)
                if where.header:
                    continue
            smiles = row[where.smiles].strip() if where.smiles < len(row) else ""
            name = row[where.name].strip() if where.name is not None and where.name < len(row) else ""
            yield number, smiles, name
    except csv.Error as error:
        raise QuarnelError(f"line {rows.line_num}: not a {kind.upper()} table ({error})") from None
    finally:
        text.detach()
