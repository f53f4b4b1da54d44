"""Words that travel with their values: a pandas extension array and its Arrow type."""

from ._array import WordsArray
from ._dtype import WordsDtype

__all__ = ["WordsArray", "WordsDtype"]
