"""The ``quarnel`` command line: a thin layer over the Python API.

Every command parses its options, calls the API and formats the result.
Bad input or a bad environment ends in one line, ``quarnel: error: ...``,
and a non-zero exit status, never a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from pathlib import Path

from . import distributed
from .atomic import atomic_output
from .checks import MAX_ROWS, MAX_THREADS, check_threads
from .clustering import butina
from .database import Database, ShardedDatabase
from .errors import QuarnelError
from .file_kinds import MOLECULE_FILES, SHARD_SET_SUFFIX, is_fps_file, molecule_file_kind
from .fingerprint_file import FingerprintFile, clean_name, mean_bits_set
from .fps import read_fps
from .interrupt import deferred_interrupts
from .metrics import as_metric
from .molecules import describe_skipped, fingerprint_molecules
from .overwrite import refuse_overwrite
from .picking import leader_pick, maxmin_pick
from .resolve import resolved, skipped_summary
from .search import search
from .settings import FINGERPRINT_TYPES, FingerprintSpec
from .tables import column_option
from .version import __version__

PROGRAM = "quarnel"


class ArgumentParser(argparse.ArgumentParser):
    """argparse, with its errors on one line like the program's own."""

    def error(self, message):
        self.exit(2, f"{PROGRAM}: error: {message}\n")


def bounded_int(low, high):
    """An argparse type for whole numbers from `low` to `high`."""

    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"expected a number from {low} to {high}, not {value}")
        return value

    return parse


# As check_threads takes them.
THREADS_HELP = f"worker threads: 1 to {MAX_THREADS}, or 0 or -1 for all CPUs (default -1)"


def thread_count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
    try:
        return check_threads(value)
    except QuarnelError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def metric_option(text):
    try:
        return as_metric(text)
    except QuarnelError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def similarity_threshold(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, not {text!r}") from None
    if not 0.0 <= value <= 1.0:  # NaN fails too
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, not {text}")
    return value


def describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        where = error.filename if error.filename is not None else ""
        return f"{where}: {error.strerror}" if where else error.strerror
    if isinstance(error, MemoryError):
        return f"out of memory: {error}" if str(error) else "out of memory"
    return str(error)


@contextlib.contextmanager
def output_stream(path):
    """Standard output, or a text file that appears only when complete."""
    if path is None or path == "-":
        yield sys.stdout
        return
    with atomic_output(path, "w") as stream:
        yield stream


# ---------------------------------------------------------------------------
# Commands


# The arguments that name a command's input files.
INPUT_ARGUMENTS = ("input", "database", "queries", "first_picks", "references")


def refuse_output_over_input(args) -> None:
    """An output written under the name of one of the command's inputs (or
    of a file of an input database) would replace it once complete.
    Refused before any work."""
    refuse_overwrite(getattr(args, "output", None), [getattr(args, name, None) for name in INPUT_ARGUMENTS])


def default_output(source: str) -> Path:
    name = Path(source).name
    if name.lower().endswith(".gz"):
        name = name[:-3]
    return Path(Path(name).stem + ".qfp")


def report_skipped(skipped) -> None:
    if skipped:
        print(f"{PROGRAM}: {skipped_summary(skipped)}", file=sys.stderr)


# Options of `fingerprint` that say how to make fingerprints from molecules,
# and so cannot apply to an FPS file, which holds them already.
MOLECULE_OPTIONS = ("type", "radius", "bits", "features", "min_path", "max_path", "name_field", "smiles_column",
                    "name_column", "workers", "shard_rows")


def run_fingerprint(args) -> int:
    kind = molecule_file_kind(args.input)
    if kind is None and not is_fps_file(args.input):
        raise QuarnelError(f"{args.input}: not a molecule file or FPS file (expected {MOLECULE_FILES} or .fps, "
                           "optionally .gz)")
    if not os.path.exists(args.input):
        raise FileNotFoundError(2, "No such file or directory", args.input)
    if kind is None:
        return read_fps_file(args)
    settings = FingerprintSpec.from_options(args.type or "morgan", args.bits, radius=args.radius, features=args.features,
                                            min_path=args.min_path, max_path=args.max_path)
    output = Path(args.output) if args.output else default_output(args.input)
    if args.shard_rows is not None and not args.output:
        output = output.with_suffix(SHARD_SET_SUFFIX)
    report = fingerprint_molecules(args.input, output, settings=settings, name_field=args.name_field,
                                   smiles_column=args.smiles_column, name_column=args.name_column,
                                   n_workers=args.workers, progress=not args.quiet, shard_rows=args.shard_rows)
    if report.skipped:
        # A sharded database lists them in its manifest's metadata.
        listing = output if output.suffix == SHARD_SET_SUFFIX else f"{output}.json"
        print(f"{PROGRAM}: skipped {describe_skipped(len(report.skipped), report.skipped, report.unit)} "
              f"(all listed in {listing})", file=sys.stderr)
    if not args.quiet:
        print(f"{PROGRAM}: wrote {report.rows} fingerprints to {output}", file=sys.stderr)
    return 0


def read_fps_file(args) -> int:
    given = [name for name in MOLECULE_OPTIONS if getattr(args, name) not in (None, False)]
    if given:
        listed = ", ".join("--" + name.replace("_", "-") for name in given)
        raise QuarnelError(f"{listed}: for molecule files; {args.input} holds fingerprints already")
    output = Path(args.output) if args.output else default_output(args.input)
    report = read_fps(args.input, output, progress=not args.quiet)
    if not args.quiet:
        print(f"{PROGRAM}: wrote {report.rows} fingerprints of {report.n_bits} bits to {output}", file=sys.stderr)
    return 0


def run_export(args) -> int:
    database = Database(args.database)
    if args.output is None or args.output == "-":
        database.write_fps(sys.stdout.buffer)
        sys.stdout.buffer.flush()
    else:
        database.write_fps(args.output, progress=not args.quiet)
    return 0


def run_info(args) -> int:
    database = Database(args.file)
    out = sys.stdout
    out.write(f"file: {database.path}\n")
    out.write(f"rows: {database.rows}\n")
    out.write(f"bits: {database.n_bits}\n")
    if isinstance(database, ShardedDatabase):
        write_shard_info(database, out)
        files = [FingerprintFile(shard.path) for shard in database.shards]
    else:
        out.write(f"file size: {database.path.stat().st_size} bytes\n")
        files = [database]
    out.write(f"mean bits set: {mean_bits_set(files):.2f}\n")
    out.write(f"names: {'yes' if database.names.from_sidecar else 'no (rows are named by number)'}\n")
    meta = database.metadata
    if not meta:
        out.write("made: unknown (no metadata sidecar)\n")
        return 0
    settings = database.fingerprint_spec
    if settings is not None:
        described = ", ".join(f"{key}={value}" for key, value in settings.as_metadata().items() if key != "type")
        out.write(f"fingerprint: {settings.type} ({described})\n")
    for key, label in (("source", "source"), ("skipped", "rows skipped"), ("rdkit_version", "RDKit"),
                       ("created", "created")):
        if key in meta:
            out.write(f"{label}: {meta[key]}\n")
    return 0


def write_shard_info(database: ShardedDatabase, out) -> None:
    """Each shard's file, rows and size."""
    sizes = [shard.path.stat().st_size for shard in database.shards]
    out.write(f"shards: {len(database.shards)}, {sum(sizes)} bytes\n")
    for number, (shard, size) in enumerate(zip(database.shards, sizes)):
        out.write(f"  shard {number}: {shard.path} rows {shard.first_row} to {shard.first_row + shard.rows - 1}"
                  f" ({shard.rows} rows, {size} bytes)\n")


def run_search(args) -> int:
    options = dict(n_threads=args.threads, window_rows=args.window_rows, progress=not args.quiet,
                   allow_mismatch=args.allow_mismatch, name_field=args.name_field, metric=args.metric,
                   smiles_column=args.smiles_column, name_column=args.name_column)
    if args.threshold is None and args.k is None:
        args.k = 10
    if args.threshold is not None:
        if args.scheduler:
            raise QuarnelError("--threshold searches run on this machine; leave out --scheduler")
        result = search(args.queries, args.database, args.k, threshold=args.threshold, **options)
    elif args.scheduler:
        result = distributed.search_at(args.scheduler, args.queries, args.database, k=args.k, **options)
    else:
        result = search(args.queries, args.database, args.k, **options)
    report_skipped(result.skipped)
    with output_stream(args.output) as stream:
        result.write_tsv(stream)
    return 0


def run_cluster(args) -> int:
    with resolved(args.database, database=True, progress=not args.quiet) as database:
        clusters = butina(database, args.threshold, reordering=args.reordering, metric=args.metric,
                          n_threads=args.threads, progress=not args.quiet)
        names = database.names
        with output_stream(args.output) as stream:
            stream.write("cluster\tposition\trow\tname\n")
            for number, members in enumerate(clusters, start=1):
                for position, row in enumerate(members):
                    stream.write(f"{number}\t{position}\t{row}\t{clean_name(names[row])}\n")
    if not args.quiet:
        print(f"{PROGRAM}: {len(clusters)} clusters of {database.rows} molecules", file=sys.stderr)
    return 0


def read_row_numbers(path) -> list:
    """Row numbers, one per line (blank lines ignored)."""
    rows = []
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, start=1):
            if not line.strip():
                continue
            try:
                rows.append(int(line))
            except ValueError:
                raise QuarnelError(f"{path}, line {number}: not a row number: {line.strip()!r}") from None
    return rows


def run_pick(args) -> int:
    if args.leader is not None and (args.references or args.seed is not None):
        raise QuarnelError("--references and --seed go with --maxmin")
    if args.maxmin is not None and args.max is not None:
        raise QuarnelError("--max goes with --leader (--maxmin N already says how many)")
    first_picks = read_row_numbers(args.first_picks) if args.first_picks else []
    options = dict(first_picks=first_picks, metric=args.metric, n_threads=args.threads, progress=not args.quiet)
    with resolved(args.database, database=True, progress=not args.quiet) as database:
        if args.maxmin is not None:
            seed = -1 if args.seed is None else args.seed
            picks = maxmin_pick(database, args.maxmin, seed=seed, references=args.references, **options)
        else:
            picks = leader_pick(database, args.leader, n=args.max or 0, **options)
        names = database.names
        with output_stream(args.output) as stream:
            stream.write("pick\trow\tname\n")
            for number, row in enumerate(picks.tolist(), start=1):
                stream.write(f"{number}\t{row}\t{clean_name(names[row])}\n")
    if not args.quiet:
        print(f"{PROGRAM}: picked {len(picks)} of {database.rows} molecules", file=sys.stderr)
    return 0


# ---------------------------------------------------------------------------
# The parser


def add_column_options(command, lead: str = "") -> None:
    counted = "by header name or by position counted from 0, as RDKit's SmilesMolSupplier counts"
    command.add_argument("--smiles-column", type=column_option, metavar="NAME|N",
                         help=f"{lead}the column of the SMILES in a CSV or TSV table, {counted} (default: the "
                              "header's 'smiles' column in any case, else the first; a header row is read where "
                              "a column is named or one is called smiles)")
    command.add_argument("--name-column", type=column_option, metavar="NAME|N",
                         help=f"{lead}the column of the names, likewise (default: the first other column)")


def add_fingerprint_command(commands):
    command = commands.add_parser("fingerprint", help="fingerprint a SMILES, SDF, CSV or TSV file, or read an FPS "
                                                      "file, into a database",
                                  description="Fingerprint the molecules of a SMILES or SDF file or of a CSV or "
                                              "TSV table (.gz too) into a .qfp database with its names and "
                                              "metadata, or read the fingerprints of an FPS file (.fps, .fps.gz) "
                                              "into one.")
    command.add_argument("input", help="SMILES (.smi), SDF (.sdf), CSV (.csv), TSV (.tsv) or FPS (.fps) file, "
                                       "optionally gzip-compressed")
    command.add_argument("-o", "--output", help="the database to write (default: INPUT's name with .qfp, "
                                                "in the current folder)")
    command.add_argument("--type", choices=FINGERPRINT_TYPES, help="fingerprint type (default morgan)")
    command.add_argument("--radius", type=bounded_int(0, 64), help="Morgan radius (default 2)")
    command.add_argument("--bits", type=bounded_int(1, 2**31),
                         help="bits per fingerprint (default 2048; MACCS keys have 167)")
    command.add_argument("--features", action="store_true", help="Morgan with feature invariants (FCFP)")
    command.add_argument("--min-path", type=bounded_int(1, 64), help="RDKit paths: shortest (default 1)")
    command.add_argument("--max-path", type=bounded_int(1, 64), help="RDKit paths: longest (default 7)")
    command.add_argument("--name-field", help="SDF field holding the name (default: the title line)")
    add_column_options(command)
    command.add_argument("--workers", type=bounded_int(1, MAX_THREADS),
                         help=f"worker processes, 1 to {MAX_THREADS} (default: all CPUs)")
    command.add_argument("--shard-rows", type=bounded_int(1, MAX_ROWS), metavar="N",
                         help="write a sharded database (OUTPUT.qfpset) of shards of N rows")
    command.add_argument("-q", "--quiet", action="store_true", help="no progress bar or summary")
    command.set_defaults(run=run_fingerprint)


def add_export_command(commands):
    command = commands.add_parser("export", help="write a database as an FPS file",
                                  description="Write a database as an FPS file: the header (#FPS1, "
                                              "#num_bits, #type, #software, #date), then one hex<TAB>id line "
                                              "per row, the ids from the names (row numbers without them).")
    command.add_argument("database", help="the .qfp database or a .qfpset manifest")
    command.add_argument("-o", "--output", help="the FPS file (.fps, or .fps.gz compressed; default or -: "
                                                "standard output)")
    command.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    command.set_defaults(run=run_export)


def add_info_command(commands):
    command = commands.add_parser("info", help="describe a database",
                                  description="Rows, bits, size, mean bits set and how a database was made.")
    command.add_argument("file", help="a .qfp fingerprint file or a .qfpset manifest")
    command.set_defaults(run=run_info)


def add_search_command(commands):
    command = commands.add_parser("search", help="the k most similar database rows of every query",
                                  description="Similarity search: the k best hits of every query, or every hit "
                                              "scoring at least --threshold, under --metric.  QUERIES is a .qfp or FPS file, or a "
                                              "SMILES, SDF, CSV or TSV file fingerprinted as the database's "
                                              "metadata says.")
    command.add_argument("queries", help="a .qfp or .fps file, a SMILES, SDF, CSV or TSV file, or a SMILES")
    command.add_argument("database", help="the .qfp database, a .qfpset manifest or an FPS file")
    command.add_argument("-k", type=bounded_int(1, MAX_ROWS),
                         help="hits per query (default 10; with --threshold: all of them)")
    command.add_argument("--threshold", type=similarity_threshold,
                         help="every hit scoring at least this (0 to 1), best first")
    command.add_argument("--threads", type=thread_count, default=-1,
                         help=THREADS_HELP)
    command.add_argument("-o", "--output", help="write the hits here (TSV) instead of standard output")
    command.add_argument("--window-rows", type=bounded_int(1, MAX_ROWS),
                         help="database rows per window (default 1048576)")
    command.add_argument("--metric", type=metric_option, default="tanimoto", metavar="METRIC",
                         help="tanimoto (default), dice, cosine or tversky:ALPHA,BETA")
    command.add_argument("--name-field", help="for SDF queries: the field holding the name")
    add_column_options(command, "for CSV or TSV queries: ")
    command.add_argument("--allow-mismatch", action="store_true",
                         help="compare queries fingerprinted differently from the database")
    command.add_argument("--scheduler", metavar="ADDRESS",
                         help="search on the Dask cluster of this scheduler (tcp://host:8786); the workers "
                              "must see the database at the same path")
    command.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    command.set_defaults(run=run_search)


def add_cluster_command(commands):
    command = commands.add_parser("cluster", help="Taylor-Butina clustering of a database",
                                  description="Taylor-Butina clustering, as RDKit's Butina.ClusterData with "
                                              "distance 1 - threshold, without an N x N matrix.")
    command.add_argument("database", help="the .qfp database, a .qfpset manifest or an FPS file")
    command.add_argument("--threshold", type=similarity_threshold, required=True,
                         help="molecules scoring at least this are neighbours (0 to 1)")
    command.add_argument("--reordering", action="store_true",
                         help="recount unassigned neighbours after each cluster")
    command.add_argument("--metric", type=metric_option, default="tanimoto", metavar="METRIC",
                         help="tanimoto (default), dice, cosine or tversky:ALPHA,BETA")
    command.add_argument("--threads", type=thread_count, default=-1,
                         help=THREADS_HELP)
    command.add_argument("-o", "--output", help="write the clusters here (TSV) instead of standard output")
    command.add_argument("-q", "--quiet", action="store_true", help="no progress bar or summary")
    command.set_defaults(run=run_cluster)


def add_pick_command(commands):
    command = commands.add_parser("pick", help="pick diverse molecules (MaxMin or sphere exclusion)",
                                  description="Diversity picking with RDKit's MaxMin or Leader picker's picks: "
                                              "a TSV of pick number, row and name, in pick order.")
    command.add_argument("database", help="the .qfp database, a .qfpset manifest or an FPS file")
    how = command.add_mutually_exclusive_group(required=True)
    how.add_argument("--maxmin", type=bounded_int(0, MAX_ROWS), metavar="N", help="pick N rows by MaxMin")
    how.add_argument("--leader", type=similarity_threshold, metavar="T",
                     help="sphere exclusion: picked rows score below T (0 to 1) with each other")
    command.add_argument("--seed", type=bounded_int(0, 2**32 - 1), metavar="S",
                         help="MaxMin: seed of the random first pick (default: a random one)")
    command.add_argument("--max", type=bounded_int(0, MAX_ROWS), metavar="N", help="Leader: at most N picks")
    command.add_argument("--first-picks", metavar="FILE", help="rows to pick first: a text file, one per line")
    command.add_argument("--references", metavar="REF",
                         help="MaxMin: molecules already held (a .qfp, FPS or molecule file); pick the rows "
                              "farthest from them")
    command.add_argument("--metric", type=metric_option, default="tanimoto", metavar="METRIC",
                         help="tanimoto (default), dice, cosine or tversky:A,A (symmetric); distance is "
                              "1 - similarity")
    command.add_argument("--threads", type=thread_count, default=-1,
                         help=THREADS_HELP)
    command.add_argument("-o", "--output", help="write the picks here (TSV) instead of standard output")
    command.add_argument("-q", "--quiet", action="store_true", help="no summary")
    command.set_defaults(run=run_pick)


def build_parser() -> ArgumentParser:
    parser = ArgumentParser(prog=PROGRAM, description="Fingerprint databases of molecules: similarity search with "
                                                      "several metrics, Butina clustering, diversity picking, FPS "
                                                      "import and export, sharded databases searched on Dask "
                                                      "clusters (similarity matrices: quarnel.similarity in "
                                                      "Python).")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True,
                                     parser_class=ArgumentParser)
    add_fingerprint_command(commands)
    add_info_command(commands)
    add_export_command(commands)
    add_search_command(commands)
    add_cluster_command(commands)
    add_pick_command(commands)
    return parser


def main(argv=None) -> int:
    parser = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        parser.print_help(sys.stderr)
        return 2
    args = parser.parse_args(argv)
    try:
        refuse_output_over_input(args)
        with deferred_interrupts():
            return args.run(args)
    except BrokenPipeError:
        # The reader of standard output (head, say) stopped early: not an
        # error of ours.  Pointing the stream at /dev/null keeps the
        # interpreter's final flush quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except (QuarnelError, OSError, ValueError, MemoryError) as error:
        print(f"{PROGRAM}: error: {describe(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130
