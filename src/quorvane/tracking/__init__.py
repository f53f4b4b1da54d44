"""The pandas layer both roads share: how per-element words follow their rows through
pandas (selections, sorts, joins, concatenation, the index), groups, windows, the ``.str``
and ``.dt`` accessors, and the differences between the pandas versions (``_compat``).

Each road builds its containers from these pieces and adds its own fields; nothing here
imports a road.

``WordsArray`` and ``WordsDtype`` are the extension array that holds values together with
their words, so that pandas itself moves the words (with pyarrow, the ``arrow`` extra, also
through Arrow tables and Parquet files).
"""

import importlib.util

from ._array import WordsArray
from ._dtype import WordsDtype
from ._storage import storing_words_in_arrays

# With pyarrow (the ``arrow`` extra), Parquet files and Arrow tables keep the words: the
# extension type must be registered before a file is read.
if importlib.util.find_spec("pyarrow") is not None:
    from . import _arrow  # noqa: F401

__all__ = ["WordsArray", "WordsDtype", "storing_words_in_arrays"]
