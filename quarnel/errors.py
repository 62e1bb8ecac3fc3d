"""The package's own exception type."""


class QuarnelError(ValueError):
    """Invalid input or state that the package detects itself: a database
    without the metadata a request needs, an unknown file kind, shards that
    do not fit together.  A ValueError, as NumPy and RDKit raise for bad
    values; the command line prints it as one line."""
