"""Progress bars for long work: on standard error, never standard output
(which holds results), and only when standard error is a terminal."""

import sys

from tqdm import tqdm


class NoBar:
    """What a call that shows no bar updates: making a disabled tqdm bar
    costs more than a search of a small database."""

    disable = True

    def __init__(self):
        self.n = 0

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        return None

    def update(self, n=1) -> None:
        self.n += n

    def set_postfix_str(self, text="", refresh=True) -> None:
        pass


def progress_bar(enabled: bool, description: str, unit: str, total=None, **options):
    if not enabled:
        return NoBar()
    # disable=None is tqdm's own "only on a terminal".
    return tqdm(total=total, desc=description, unit=unit, file=sys.stderr,
                disable=None, dynamic_ncols=True, leave=False, **options)
