"""Progress bars for long work: on standard error, never standard output
(which holds results), and only when standard error is a terminal."""

import sys

from tqdm import tqdm


def progress_bar(enabled: bool, description: str, unit: str, total=None, **options) -> tqdm:
    # disable=None is tqdm's own "only on a terminal".
    return tqdm(total=total, desc=description, unit=unit, file=sys.stderr,
                disable=None if enabled else True, dynamic_ncols=True, leave=False, **options)
