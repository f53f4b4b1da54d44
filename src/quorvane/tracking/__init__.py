"""Words that travel with their values: a pandas extension array and its Arrow type."""

import importlib.util

from ._array import WordsArray
from ._dtype import WordsDtype

# With pyarrow (the ``arrow`` extra), Parquet files and Arrow tables keep the words: the
# extension type must be registered before a file is read.
if importlib.util.find_spec("pyarrow") is not None:
    from . import _arrow  # noqa: F401

__all__ = ["WordsArray", "WordsDtype"]
