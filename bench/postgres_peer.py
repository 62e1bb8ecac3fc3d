"""The RDKit PostgreSQL cartridge as the peer of the latency benchmarks.

`scripts/setup_postgres.sh` installs and starts it.  Debian's cartridge
(postgresql-15-rdkit, 4.2.0) fails ``CREATE EXTENSION rdkit`` on PostgreSQL
15.20 ("commutator operator = is already the commutator of operator ="):
the ``@=`` operators of ``mol`` and ``reaction`` name ``=`` as their
commutator, which a stricter check of the 15.x series refuses.  This module
leaves the installed files alone: it reads the extension's script, makes
those two operators their own commutator without a negator (``bfp``, the
only type benchmarked, is untouched) and runs that copy in a database of
its own.  Fingerprints are loaded as bytes of ``BitVectToBinaryText``, no
molecules, then indexed with GiST."""

from __future__ import annotations

import io
import re
import time

import numpy as np

EXTENSION_SQL = "/usr/share/postgresql/15/extension/rdkit--4.2.0.sql"
DATABASE = "quarnel_bench"


def available() -> bool:
    try:
        import psycopg2

        psycopg2.connect(dbname="postgres").close()
        return True
    except Exception:  # no driver, no server, no role: the peer is skipped
        return False


def cartridge_script() -> str:
    with open(EXTENSION_SQL) as stream:
        text = stream.read()

    def own_commutator(block):
        return block.group(0).replace("COMMUTATOR = '=',\n    NEGATOR = '<>',", "COMMUTATOR = '@=',")

    text = re.sub(r"CREATE OPERATOR @= \([^;]*\);", own_commutator, text)
    text = text.replace("MODULE_PATHNAME", "$libdir/rdkit")
    return "\n".join(line for line in text.splitlines() if not line.startswith("\\echo"))


def connect():
    """A connection to a fresh benchmark database with the cartridge loaded."""
    import psycopg2

    admin = psycopg2.connect(dbname="postgres")
    admin.autocommit = True
    with admin.cursor() as cursor:
        cursor.execute(f"DROP DATABASE IF EXISTS {DATABASE}")
        cursor.execute(f"CREATE DATABASE {DATABASE}")
    admin.close()
    connection = psycopg2.connect(dbname=DATABASE)
    connection.autocommit = True
    with connection.cursor() as cursor:
        cursor.execute(cartridge_script())
    return connection


def binary_text(row: np.ndarray, n_bits: int) -> bytes:
    """RDKit's BitVectToBinaryText of one packed row, made with RDKit."""
    from rdkit import DataStructs

    vector = DataStructs.ExplicitBitVect(n_bits)
    bits = np.flatnonzero(np.unpackbits(row.view(np.uint8), bitorder="little")[:n_bits])
    vector.SetBitsFromList(bits.tolist())
    return DataStructs.BitVectToBinaryText(vector)


def load(connection, words: np.ndarray, n_bits: int, table: str = "fps") -> dict:
    """Loads the rows as table `table` (id, fp) with a GiST index; returns
    the seconds each step took."""
    timings = {}
    with connection.cursor() as cursor:
        cursor.execute(f"DROP TABLE IF EXISTS raw_{table}; DROP TABLE IF EXISTS {table}")
        cursor.execute(f"CREATE TABLE raw_{table} (id int, b bytea)")
        start = time.perf_counter()
        for first in range(0, len(words), 100_000):
            buffer = io.StringIO()
            for offset, row in enumerate(words[first:first + 100_000]):
                buffer.write(f"{first + offset}\t\\\\x{binary_text(row, n_bits).hex()}\n")
            buffer.seek(0)
            cursor.copy_expert(f"COPY raw_{table} FROM STDIN", buffer)
        timings["copy"] = time.perf_counter() - start
        start = time.perf_counter()
        cursor.execute(f"CREATE TABLE {table} AS SELECT id, bfp_from_binary_text(b) AS fp FROM raw_{table}")
        timings["convert"] = time.perf_counter() - start
        start = time.perf_counter()
        cursor.execute(f"CREATE INDEX ON {table} USING gist(fp)")
        cursor.execute(f"VACUUM ANALYZE {table}")
        timings["index"] = time.perf_counter() - start
        cursor.execute(f"DROP TABLE raw_{table}")
    return timings


def threshold_topk(cursor, table: str, query: bytes, threshold: float, k: int):
    """The cartridge's exact search: rows at or above `threshold`, best k,
    (ids, scores) with equal scores by the lower id."""
    cursor.execute("SET rdkit.tanimoto_threshold = %s", (threshold,))
    cursor.execute(f"SELECT id, tanimoto_sml(fp, q) AS s FROM {table}, bfp_from_binary_text(%s) AS q "
                   f"WHERE fp %% q ORDER BY s DESC, id LIMIT %s", (query, k))
    found = cursor.fetchall()
    return [row[0] for row in found], [row[1] for row in found]


def threshold_all(cursor, table: str, query: bytes, threshold: float):
    cursor.execute("SET rdkit.tanimoto_threshold = %s", (threshold,))
    cursor.execute(f"SELECT id, tanimoto_sml(fp, q) FROM {table}, bfp_from_binary_text(%s) AS q "
                   f"WHERE fp %% q", (query,))
    return sorted(cursor.fetchall())


def nearest(cursor, table: str, query: bytes, k: int):
    """GiST nearest neighbours (``<%>``): fast but not exact."""
    cursor.execute(f"SELECT id, tanimoto_sml(fp, q) FROM {table}, bfp_from_binary_text(%s) AS q "
                   f"ORDER BY fp <%%> q LIMIT %s", (query, k))
    found = cursor.fetchall()
    return [row[0] for row in found], [row[1] for row in found]
