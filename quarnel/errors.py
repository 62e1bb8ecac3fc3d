"""The package's own exception type."""


class QuarnelError(Exception):
    """Invalid input or state that the package detects itself: a database
    without the metadata a request needs, an unknown file kind, shards that
    do not fit together.  The command line prints it as one line."""
