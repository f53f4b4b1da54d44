"""Where the vectorised road keeps the words of a wrapped numeric, boolean or text column.

In the column itself (the default): a ``WordsArray`` whose words pandas moves with the
values through every row operation; the containers read the moved words instead of working
out where the rows went. Beside pandas' data (``QUORVANE_WORDS_IN_ARRAYS=0`` in the
environment, or ``storing_words_in_arrays(False)`` around ``wrap``): in the containers'
per-column arrays, which follow the rows after each pandas call, and the columns keep the
plain numpy dtypes pandas gave them.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager

_on = [os.environ.get("QUORVANE_WORDS_IN_ARRAYS", "1") != "0"]


def words_in_arrays() -> bool:
    """Whether ``wrap`` stores numeric, boolean and text columns as words arrays."""
    return _on[0]


@contextmanager
def storing_words_in_arrays(on: bool = True) -> Iterator[None]:
    """Inside the block, ``wrap`` stores words as ``on`` says."""
    saved, _on[0] = _on[0], on
    try:
        yield
    finally:
        _on[0] = saved
