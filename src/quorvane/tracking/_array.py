"""WordsArray: values with one provenance word each (and, on the DAG road, a node id each).

pandas moves an extension array's elements through every row operation (take, concat,
reindex, merge, alignment, sort, set/reset_index, stack/unstack) by its public contract, so
words held here go where their values go without the containers having to work out where
rows went. Operations that make new values (operators, ufuncs, reductions, accumulations,
groupby) combine the words of their inputs through the tracker's engine.
"""

from __future__ import annotations

import numbers
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd
from pandas.api.extensions import ExtensionArray, ExtensionScalarOpsMixin, take
from pandas.api.indexers import check_array_indexer

from ..core._word import OpCode
from . import _compat, _groupby, _ops, _trackers, _words
from ._array_reductions import NumpyReductions
from ._dtype import WordsDtype, supported

#: Words, or what makes them when first read (see ``WordsArray._words``).
Words = np.ndarray | Callable[[], np.ndarray]

#: Node id of an element that no logged node made (a filled gap, a plain value).
NO_NODE = -1


def _missing_capable(dtype: np.dtype) -> np.dtype:
    """The dtype that ``dtype`` values turn into when a gap must be filled with NaN, as
    numpy's and pandas' own columns do (int to float64, bool to object)."""
    if dtype.kind in "iu":
        return np.dtype("float64")
    if dtype.kind == "b":
        return np.dtype("object")
    return dtype


class WordsArray(NumpyReductions, ExtensionScalarOpsMixin, ExtensionArray):
    """Values (a 1-d numpy array, or pandas' string array for text of its string dtype),
    their uint32 words and optionally int64 node ids."""

    __array_priority__ = 1000
    # above pandas' own arrays (1000), below its containers: a string or nullable array
    # operand leaves the operator to this one, which keeps the words
    __pandas_priority__ = 1500
    # pandas 3 marks arrays read-only under Copy-on-Write; earlier versions never set it.
    _readonly = False
    #: Whether the words are those their values were given (by ``wrap``, or read back from
    #: a file) and since then only moved with them. Words an operation made here without a
    #: tracker (a copy of the first operand's) or values built from scalars are not: a
    #: container that holds such an array keeps the words it made itself.
    carried = False
    _words_or_maker: Words
    #: The operation code of the step that made these words through the tracker's engine,
    #: each element's from the elements of every words operand in its place (see
    #: ``_ops.apply``); ``_ops.KEPT`` for each element's word kept from the one words
    #: operand beside constants; None for words moved, copied or made otherwise. A
    #: container whose operands read their arrays' own words takes these instead of making
    #: them again.
    made_by: int | None = None

    def __init__(
        self,
        values: Any,
        words: Words,
        dtype: WordsDtype,
        node_ids: np.ndarray | None = None,
    ) -> None:
        if dtype.text_dtype is not None and not isinstance(values, ExtensionArray):
            # pandas' own string array: its text methods, comparisons and factorizing run
            # on it as on the plain column (Arrow's kernels, not Python objects one by one)
            values = pd.array(values, dtype=dtype.text_dtype)
        if not callable(words) and len(words) != len(values):
            raise ValueError(f"{len(values)} values need as many words")
        if node_ids is not None and len(node_ids) != len(values):
            raise ValueError(f"{len(values)} values need as many node ids")
        if isinstance(values, np.ndarray) and type(values) is not np.ndarray:
            values = values.view(np.ndarray)  # numpy's own: what a subclass carried is words
        self._plain = values
        self._words = words if callable(words) else np.asarray(words, dtype=np.uint32)
        self._node_ids = node_ids
        self._dtype = dtype

    @property
    def _words(self) -> np.ndarray:
        # Words an aggregation or accumulation makes are made when first read: where a
        # container holds the result, it makes the words of such steps itself (of the
        # groups and windows pandas hands the array as plain positions) and never reads
        # these, so they would be made twice.
        words = self._words_or_maker
        if callable(words):
            words = self._words_or_maker = np.asarray(words(), dtype=np.uint32)
        return words

    @_words.setter
    def _words(self, words: Any) -> None:
        self._words_or_maker = words

    def _later(self, make: Callable[[np.ndarray], np.ndarray]) -> Callable[[], np.ndarray]:
        """Words made from these words by ``make`` when first read: where a container holds
        the result, it makes that step's words itself (or takes these), never both. These
        words as they are now, whatever is written here later."""
        held = self._words_or_maker
        return lambda: make(held() if callable(held) else held)

    # -- what the array holds -----------------------------------------------------------

    @property
    def dtype(self) -> WordsDtype:
        return self._dtype

    @property
    def words(self) -> np.ndarray:
        """One uint32 word per element."""
        return self._words

    @property
    def node_ids(self) -> np.ndarray | None:
        """One node id per element (DAG road), or None."""
        return self._node_ids

    @property
    def tracker(self) -> Any:
        return self._dtype.tracker

    def __len__(self) -> int:
        return len(self._plain)

    def plain(self) -> Any:
        """The values as their plain column holds them: numpy's array, or pandas' string
        array for text of the string dtype."""
        return self._plain

    @property
    def nbytes(self) -> int:
        ids = 0 if self._node_ids is None else self._node_ids.nbytes
        return self._plain.nbytes + self._words.nbytes + ids

    def _like(self, values: Any, words: Words, node_ids: Any = None) -> WordsArray:
        text = self._dtype.text_dtype
        if values.dtype == (self._dtype.numpy_dtype if text is None else text):
            return WordsArray(values, words, self._dtype, node_ids)
        return WordsArray(values, words, self._dtype.with_values(values.dtype), node_ids)

    def _moved(self, values: np.ndarray, words: Words, node_ids: Any = None) -> WordsArray:
        """These elements (some of them, or in another order): carried as this array is."""
        moved = self._like(values, words, node_ids)
        moved.carried = self.carried
        return moved

    def _words_moved(self, move: Callable[[np.ndarray], np.ndarray]) -> Words:
        """``move`` of the words; words still to be made stay so, moved when made (pandas
        views and gathers arrays whose words nobody reads: ``.T``, ``[:]``, a group
        transform's spread of its groups' values)."""
        words = self._words_or_maker
        return (lambda: move(self._words)) if callable(words) else move(words)

    def _ids_at(self, positions: Any) -> np.ndarray | None:
        return None if self._node_ids is None else self._node_ids[positions]

    # -- construction -------------------------------------------------------------------

    @classmethod
    def _from_sequence(cls, scalars: Any, *, dtype: Any = None, copy: bool = False) -> WordsArray:
        if isinstance(scalars, WordsArray):
            return scalars.astype(dtype, copy=copy) if dtype is not None else scalars.copy()
        if isinstance(dtype, str):
            dtype = WordsDtype.construct_from_string(dtype)
        target = dtype.numpy_dtype if isinstance(dtype, WordsDtype) else None
        values = _as_values(scalars, target, copy)
        dtype = dtype.with_values(values.dtype) if isinstance(dtype, WordsDtype) else None
        dtype = dtype or WordsDtype(values.dtype)
        # pandas builds from scalars where it has left the array (a transpose, a row of a
        # frame's reduction, a mode): where those values came from is not known here
        return cls(values, _words.unknown(dtype.tracker, len(values)), dtype)

    @classmethod
    def _from_sequence_of_strings(cls, strings: Any, *, dtype: Any, copy: bool = False):
        # read_csv with a words dtype: values parsed as the plain column's would be
        numpy_dtype = dtype.numpy_dtype
        plain = pd.Series(np.asarray(strings, dtype=object))
        if numpy_dtype.kind in "iufc":
            plain = pd.to_numeric(plain)
        return cls._from_sequence(plain.to_numpy(), dtype=dtype, copy=copy)

    @classmethod
    def from_values(
        cls,
        values: Any,
        words: Any,
        tracker: Any = None,
        node_ids: Any = None,
        *,
        carried: bool = False,
        text: Any = None,
    ) -> WordsArray:
        """A words array of ``values`` and their ``words`` (made by ``tracker``);
        ``carried``: those words are the values' own (see ``carried``); ``text``: the
        string dtype that text ``values`` (Python objects) take."""
        values = np.asarray(values)
        ids = None if node_ids is None else np.asarray(node_ids, dtype=np.int64)
        dtype = WordsDtype(values.dtype if text is None else text, tracker)
        array = cls(values, np.asarray(words, np.uint32), dtype, ids)
        array.carried = carried
        return array

    @classmethod
    def _from_factorized(cls, values: np.ndarray, original: WordsArray) -> WordsArray:
        return cls._from_sequence(values, dtype=original.dtype)

    def __reduce__(self) -> tuple:
        dtype = self._dtype
        return (
            _unpickled,
            (
                self._plain,
                self._words,
                self._node_ids,
                dtype.values_dtype,
                dtype.tracker,
                self.carried,
            ),
        )

    # -- element access -----------------------------------------------------------------

    def __getitem__(self, item: Any) -> Any:
        if isinstance(item, numbers.Integral):
            return self._plain[item]
        if isinstance(item, tuple) and len(item) == 1:
            item = item[0]
        if item is Ellipsis:
            item = slice(None)
        if not isinstance(item, slice):
            item = check_array_indexer(self, item)
        held = self._words_moved(lambda words: words[item])
        result = self._moved(self._plain[item], held, self._ids_at(item))
        result._readonly = self._readonly
        return result

    def view(self, dtype: Any = None) -> Any:
        # pandas views a result's arrays when it puts them in a container: the same words,
        # made by the same step
        viewed = super().view(dtype)
        if isinstance(viewed, WordsArray):
            viewed.made_by = self.made_by
        return viewed

    def __setitem__(self, key: Any, value: Any) -> None:
        if self._readonly:
            raise ValueError("Cannot modify read-only array")
        flags = getattr(self._plain, "flags", None)  # pandas' string array has none
        if flags is not None and not flags.writeable:  # a log keeps these values: a copy
            self._plain = self._plain.copy()
        if not isinstance(key, (numbers.Integral, slice)):
            key = check_array_indexer(self, key)
        # new arrays of entries: a series that read these words keeps them (pandas hands
        # the values over by reference, the words must not change under another holder)
        self._words = self._words.copy()
        if self._node_ids is not None:
            self._node_ids = self._node_ids.copy()
        if isinstance(value, WordsArray):
            self._plain[key] = self._held(value._plain)  # fractions widen integers
            self._words[key] = value._words
            ids = value._node_ids
        else:
            # A value set from outside has no word of its own here.
            self._plain[key] = self._held(value)
            self._words[key] = _words.NO_WORD
            ids = None
        if self._node_ids is not None:
            self._node_ids[key] = NO_NODE if ids is None else ids
        # what an assignment means for the words (a condition chose the cells) is the
        # container's to say
        self.carried = False

    def _held(self, value: Any) -> Any:
        """``value`` as this array's values hold it. Values that integers or booleans hold
        only with loss (a fraction, a gap) widen them to the numpy dtype that holds both,
        as a plain column's do; values numpy cannot hold with numbers (text) raise
        TypeError, on which pandas makes a column of objects, as for a plain column. Text
        that pandas' string array cannot hold widens to objects (see ``_widen_for``)."""
        if isinstance(self._plain, ExtensionArray):
            self._widen_for(value)
            return value
        values = _as_values(value, None, False) if pd.api.types.is_list_like(value) else value
        kind = self._plain.dtype.kind
        if kind in "fc" and np.asarray(values).dtype.kind in "US":
            raise TypeError(f"{self._plain.dtype} values cannot hold {value!r}")
        if kind not in "iub":
            return values
        given = np.asarray(values)
        if given.dtype.kind not in "biuf":
            raise TypeError(f"{self._plain.dtype} values cannot hold {value!r}")
        with np.errstate(invalid="ignore"):  # a gap is no integer: widened below
            held = given.astype(self._plain.dtype)
        if not np.array_equal(held, given) or (kind == "b") != (given.dtype.kind == "b"):
            # as a plain column: integers widen to floats, booleans beside numbers to objects
            wider = (
                np.dtype(object)
                if "b" in (kind, given.dtype.kind)
                else np.result_type(self._plain.dtype, given.dtype)
            )
            self._plain = self._plain.astype(wider)
            self._dtype = self._dtype.with_values(wider)
            return given
        return held

    def _widen_for(self, value: Any) -> None:
        """Text of pandas' string dtype becomes Python objects where ``value`` (a fill, the
        other values of ``where``) is no text, as the plain column's values do; pandas
        leaves that to the array."""
        if not isinstance(self._plain, ExtensionArray):
            return
        try:
            self._plain._validate_setitem_value(value)
        except TypeError:
            self._plain = self._plain.to_numpy(dtype=object)
            self._dtype = WordsDtype(object, self.tracker)

    def _validate_setitem_value(self, value: Any) -> Any:
        # pandas asks this of a column whose dtype reads as text (see the dtype's ``__eq__``)
        # before it writes ``value`` into it (where it cannot, it makes a column of objects):
        # pandas' string array answers as for the plain column; objects hold any value
        if isinstance(self._plain, ExtensionArray):
            return self._plain._validate_setitem_value(value)
        return value

    def _maybe_convert_setitem_value(self, value: Any) -> Any:
        # pandas 2.3 asks the same question of a text column by this name
        ask = getattr(self._plain, "_maybe_convert_setitem_value", None)
        return ask(value) if ask is not None else self._validate_setitem_value(value)

    def __iter__(self) -> Any:
        # Python scalars, as pandas' numpy-backed columns and indexes hand them out (an index
        # of counted labels gives ``tolist()`` and ``to_dict()`` keys as a plain one does);
        # handed out by a series' ``values``, numbers of the whole series
        handed = self.handed_out_elements()
        return iter(self._plain.tolist()) if handed is None else handed

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        if isinstance(self._plain, ExtensionArray):  # text: numpy's objects, made here
            return self._plain.to_numpy(dtype=dtype)
        if copy is False and dtype is not None and np.dtype(dtype) != self._plain.dtype:
            raise ValueError("cannot convert the values without a copy")
        values = self._plain if dtype is None else self._plain.astype(dtype, copy=False)
        if copy:
            return values.copy()
        if self._readonly and values is self._plain:
            values = values.view()
            values.flags.writeable = False
        return values

    def any(self, *, skipna: bool = True) -> bool:
        return bool(np.any(self._plain))

    def all(self, *, skipna: bool = True) -> bool:
        return bool(np.all(self._plain))

    def _cast_pointwise_result(self, values: Any) -> WordsArray:
        # Values made one Python call per element: their dtype is what they turned out to be.
        if isinstance(values, WordsArray) and values.tracker is self.tracker:
            return values  # made by ``map`` below, with their words
        values = _as_values(values, None, False)
        words = _words.unknown(self.tracker, len(values))
        return WordsArray(values, words, self._dtype.with_values(values.dtype))

    def map(self, mapper: Any, na_action: Any = None) -> WordsArray | np.ndarray:
        # pandas' own mapping of the values (a function, a dict or a series); each result
        # was made from the element in its place (``index.map(f)``), one step on
        plain = pd.Series(self._plain, dtype=self._plain.dtype, copy=False).map(
            mapper, na_action=na_action
        )
        values = _as_values(plain.to_numpy(), None, False)
        if values.dtype == object:
            # Python objects (lists to explode, text) are pandas' own column, as a plain
            # column's map gives them; the containers follow their words
            return values
        tracker = self.tracker
        words = self._later(lambda own: _words.step(tracker, own, OpCode.MAP))
        # on the DAG road each keeps the node it was made from: its lineage is that one's
        ids = None if self._node_ids is None else self._node_ids.copy()
        mapped = WordsArray(values, words, self._dtype.with_values(values.dtype), ids)
        mapped.made_by = None if tracker is None else OpCode.MAP
        return mapped

    def isna(self) -> np.ndarray:
        if self._plain.dtype.kind in "fcO":
            return pd.isna(self._plain)
        return np.zeros(len(self), dtype=bool)

    def copy(self) -> WordsArray:
        ids = None if self._node_ids is None else self._node_ids.copy()
        return self._moved(self._plain.copy(), self._words_moved(np.copy), ids)

    # -- row operations: words go where pandas moves the values -------------------------

    def take(self, indices: Any, *, allow_fill: bool = False, fill_value: Any = None) -> WordsArray:
        indices = np.asarray(indices, dtype=np.intp)
        if not (allow_fill and len(indices) and indices.min() < 0):
            # no gap: one numpy take per field, which refuses positions out of bounds
            ids = None if self._node_ids is None else self._node_ids.take(indices)
            held = self._words_moved(lambda words: words.take(indices))
            return self._moved(self._plain.take(indices), held, ids)
        values = self._plain
        if fill_value is None or pd.isna(fill_value):
            # a gap is NaN, in a dtype that holds it (as a plain column's reindex does)
            fill_value = self._dtype.na_value
            if isinstance(values, np.ndarray):
                values = values.astype(_missing_capable(values.dtype), copy=False)
        taken = take(values, indices, allow_fill=True, fill_value=fill_value)
        words = self._words_moved(
            lambda words: take(words, indices, allow_fill=True, fill_value=_words.NO_WORD)
        )
        ids = None
        if self._node_ids is not None:
            ids = take(self._node_ids, indices, allow_fill=True, fill_value=NO_NODE)
        moved = self._moved(taken, words, ids)
        # what a gap means (a fill of an alignment, or a row that cannot be followed) is the
        # container's to say
        moved.carried = False
        return moved

    def shift(self, periods: int = 1, fill_value: object = None) -> WordsArray:
        positions = np.arange(len(self)) - periods
        positions[(positions < 0) | (positions >= len(self))] = -1
        return self.take(positions, allow_fill=True, fill_value=fill_value)

    @classmethod
    def _concat_same_type(cls, to_concat: Any) -> WordsArray:
        to_concat = list(to_concat)
        values = _joined([a._plain for a in to_concat])
        words = np.concatenate([a._words for a in to_concat])
        ids = None
        if any(a._node_ids is not None for a in to_concat):
            ids = np.concatenate([
                np.full(len(a), NO_NODE, np.int64) if a._node_ids is None else a._node_ids
                for a in to_concat
            ])  # fmt: skip
        result = cls(values, words, to_concat[0].dtype, ids)
        result.carried = all(a.carried for a in to_concat)
        return result

    def astype(self, dtype: Any, copy: bool = True) -> Any:
        dtype = pd.api.types.pandas_dtype(dtype)
        if dtype == self._dtype and not copy:
            return self
        if isinstance(dtype, WordsDtype):
            values = _cast(self._plain, dtype.numpy_dtype, copy)
            if not dtype.tracker_key:  # "words[float64]": keep this column's tracker
                dtype = WordsDtype(dtype.values_dtype, self.tracker)
            # the words shared: nothing writes into them in place (see ``__setitem__``)
            converted = WordsArray(values, self._words, dtype, self._node_ids)
            converted.carried = self.carried
            return converted
        if isinstance(dtype, np.dtype):
            # Leaving the words behind is how values go to numpy-only code.
            return _cast(self._plain, dtype, copy)
        # pandas' other dtypes (categories, its string and nullable dtypes) from the values
        # as the plain column holds them, so they come out as that column's would (the
        # categories of text of its string dtype); the containers follow the words
        plain = self.plain()
        if isinstance(plain, np.ndarray):
            plain = pd.arrays.NumpyExtensionArray(plain)
        return plain.astype(dtype, copy=copy)

    def argsort(
        self,
        *,
        ascending: bool = True,
        kind: Any = "quicksort",
        na_position: str = "last",
        **kwargs: Any,
    ) -> np.ndarray:
        if isinstance(self._plain, ExtensionArray):
            # pandas' string array sorts as it likes (Arrow's sort keeps tied rows in their
            # order, descending too): the plain column's order is the one it gives
            return self._plain.argsort(
                ascending=ascending, kind=kind, na_position=na_position, **kwargs
            )
        return super().argsort(ascending=ascending, kind=kind, na_position=na_position, **kwargs)

    def isin(self, values: Any) -> np.ndarray:
        if isinstance(self._plain, ExtensionArray):
            # pandas' string array matches a gap with a gap among the values (None, NaN,
            # NA alike), as the plain column does
            return np.asarray(self._plain.isin(values))
        return super().isin(values)

    def _values_for_argsort(self) -> np.ndarray:
        if isinstance(self._plain, ExtensionArray):
            return self._plain._values_for_argsort()
        return self._plain

    def _values_for_factorize(self) -> tuple[np.ndarray, Any]:
        if isinstance(self._plain, ExtensionArray):
            return self._plain._values_for_factorize()
        if self._plain.dtype.kind in "fcO":
            return self._plain, np.nan
        return self._plain, None

    def factorize(self, use_na_sentinel: bool = True) -> tuple[np.ndarray, WordsArray]:
        codes, uniques = pd.factorize(self._plain, use_na_sentinel=use_na_sentinel)
        if isinstance(uniques, np.ndarray | pd.Index):
            uniques = np.asarray(uniques, self._plain.dtype)
        gaps = (
            pd.isna(uniques)
            if isinstance(uniques, np.ndarray) and uniques.dtype == object
            else None
        )
        if gaps is not None and gaps.any():
            # text's gap as the column has it (None, NA), not numpy's NaN
            uniques[gaps] = self._plain[pd.isna(self._plain)][0]

        # A unique value stands for every element that had it: made when read (pandas
        # factorizes group and join keys, whose words the containers follow themselves).
        def words() -> np.ndarray:
            return _words.per_segment(self.tracker, self._words, codes, len(uniques))

        return codes, self._like(uniques, words)

    def value_counts(self, dropna: bool = True) -> pd.Series:
        codes, uniques = self.factorize(use_na_sentinel=dropna)
        counts = np.bincount(codes[codes >= 0], minlength=len(uniques))
        return pd.Series(counts, index=pd.Index(uniques), name="count")

    def unique(self) -> WordsArray:
        return self.factorize(use_na_sentinel=False)[1]

    def equals(self, other: object) -> bool:
        if not isinstance(other, WordsArray) or other.dtype != self.dtype:
            return False
        return bool(
            pd.Series(self._plain, dtype=self._plain.dtype).equals(
                pd.Series(other._plain, dtype=other._plain.dtype)
            )
        )

    def fillna(self, value: Any = None, limit: Any = None, copy: bool = True, **kwargs: Any):
        kwargs = _compat.fill_options(kwargs)
        if value is None or limit is not None or kwargs or isinstance(value, dict):
            return super().fillna(value=value, limit=limit, copy=copy, **kwargs)
        if pd.api.types.is_list_like(value) and len(value) != len(self):
            raise ValueError(
                f"Length of 'value' does not match. Got ({len(value)}) expected {len(self)}"
            )
        if not copy and self._readonly:
            raise ValueError("Cannot modify read-only array")
        # the values copied, not the words: the fill makes new ones
        result = self._moved(self._plain.copy(), self._words, self._node_ids) if copy else self
        if copy and self._node_ids is not None:
            result._node_ids = self._node_ids.copy()
        gaps = self.isna()
        if gaps.any():
            result._widen_for(value._plain if isinstance(value, WordsArray) else value)
        # Every element is an output of the fill, also one that held a value: a step for
        # each, and with words to fill from, each combines them (as the containers do).
        if isinstance(value, WordsArray):
            _put(result._plain, gaps, value._plain)
            tracker, theirs = self.tracker, value._words

            def filled(own: np.ndarray) -> np.ndarray:
                return _words.combine(tracker, [own, theirs], OpCode.FILL)

            # made when read: a container that holds the result lines the filling values up
            # itself and makes these words once
            result._words = self._later(filled)
        else:
            if gaps.any():  # numpy casts the value even for no gaps: inf fails on integers
                # a value per element (one of a series aligned here) fills its own gap
                _put(result._plain, gaps, value)
            result._words = _words.step(self.tracker, self._words, OpCode.FILL)
        result.carried = False  # made here, not moved
        result.made_by = OpCode.FILL if self.tracker is not None else None
        return result

    def _pad_or_backfill(
        self, *, method: str, limit: Any = None, limit_area: Any = None, copy: bool = True
    ) -> WordsArray:
        # Which element fills each gap, found by pandas' own fill on the positions.
        gaps = self.isna()
        positions = pd.Series(np.where(gaps, np.nan, np.arange(len(self))))
        fill = positions.ffill if method in ("pad", "ffill") else positions.bfill
        sources = fill(limit=limit, limit_area=limit_area).fillna(-1).to_numpy(np.intp)
        # a gap nothing fills stays one
        values = self._plain.take(np.where(sources < 0, np.arange(len(self)), sources))
        tracker = self.tracker

        def filled_words(own: np.ndarray) -> np.ndarray:
            # A filled element depends on the gap it fills and on what filled it.
            words = take(own, sources, allow_fill=True, fill_value=_words.NO_WORD)
            filled = np.flatnonzero(gaps & (sources >= 0))
            both = [own[filled], words[filled]]
            words[filled] = _words.combine(tracker, both, OpCode.FILL)
            return words

        ids = None
        if self._node_ids is not None:
            ids = take(self._node_ids, sources, allow_fill=True, fill_value=NO_NODE)
        return self._like(values, self._later(filled_words), ids)  # made here, not moved

    def interpolate(self, *, method: Any, axis: int, index: Any, limit: Any,
                    limit_direction: Any, limit_area: Any, copy: bool,
                    **kwargs: Any) -> WordsArray:  # fmt: skip
        # the values as pandas interpolates a plain column of them
        plain = pd.arrays.NumpyExtensionArray(self._plain)
        values = plain.interpolate(
            method=method, axis=axis, index=index, limit=limit,
            limit_direction=limit_direction, limit_area=limit_area, copy=True, **kwargs,
        )  # fmt: skip
        values = np.asarray(values)
        gaps = self.isna()
        filled = np.flatnonzero(gaps & ~pd.isna(values))
        tracker = self.tracker

        def interpolated_words(own: np.ndarray) -> np.ndarray:
            words = own.copy()
            if len(filled):
                # A filled element depends on the gap it fills and on the values it was made
                # from: some methods (splines, polynomials) read every one, so all of them.
                known = _words.whole(tracker, own[~gaps])
                both = [own[filled], np.repeat(known, len(filled))]
                words[filled] = _words.combine(tracker, both, OpCode.FILL)
            return words

        # a new array even when asked not to copy, as pandas' own arrays do: pandas puts
        # what is returned in the column
        ids = None if self._node_ids is None else self._node_ids.copy()
        return self._like(values, self._later(interpolated_words), ids)

    # -- new values: words combine --------------------------------------------------------

    @_ops.numpy_warnings_at_caller
    def __array_ufunc__(self, ufunc: np.ufunc, method: str, *inputs: Any, **kwargs: Any) -> Any:
        return _ops.array_ufunc(self, ufunc, method, *inputs, **kwargs)

    @_ops.numpy_warnings_at_caller
    def round(self, decimals: int = 0, *args: Any, **kwargs: Any) -> WordsArray:
        return _ops.apply(type(self), np.round, [self], OpCode.ROUND, decimals=decimals)

    @classmethod
    def _create_arithmetic_method(cls, op: Any) -> Any:
        return _ops.binary_method(op)

    @classmethod
    def _create_comparison_method(cls, op: Any) -> Any:
        return _ops.binary_method(op)

    @classmethod
    def _create_logical_method(cls, op: Any) -> Any:
        return _ops.binary_method(op)

    def _reduce(self, name: str, *, skipna: bool = True, keepdims: bool = False, **kwargs: Any):
        plain = self._plain
        if isinstance(plain, np.ndarray):
            plain = pd.arrays.NumpyExtensionArray(plain)
        result = plain._reduce(name, skipna=skipna, keepdims=keepdims, **kwargs)
        if not keepdims:
            return result
        # pandas asks for a length-1 array when it builds one value per column (a frame's
        # reduction): that value carries the words of the whole column.
        values = np.asarray(result)
        if not supported(values.dtype):
            return result
        tracker, words = self.tracker, self._words
        return self._like(values, lambda: _words.whole(tracker, words))

    def _accumulate(self, name: str, *, skipna: bool = True, **kwargs: Any) -> WordsArray:
        plain = pd.Series(self._plain, copy=False)
        values = getattr(plain, name)(skipna=skipna, **kwargs).to_numpy()
        tracker, words = self.tracker, self._words
        return self._like(values, lambda: _words.prefix(tracker, words, OpCode.WINDOW))

    def _groupby_op(self, *, how: str, has_dropped_na: bool, min_count: int, ngroups: int,
                    ids: np.ndarray, **kwargs: Any) -> Any:  # fmt: skip
        values = _groupby.values(self._plain, how, min_count, ngroups, ids, kwargs)
        if how in ("idxmin", "idxmax"):
            return values  # row positions, which pandas turns into labels itself
        if not isinstance(values, np.ndarray) or not supported(values.dtype) or values.ndim != 1:
            return values
        tracker, members = self.tracker, self._words

        def words() -> np.ndarray:
            groups = _words.per_segment(tracker, members, ids, ngroups)
            if len(values) == ngroups:
                return groups
            # a transform: each row, its whole group's words
            return take(groups, ids, allow_fill=True, fill_value=_words.NO_WORD)

        return self._like(values, words)

    def __arrow_array__(self, type: Any = None) -> Any:
        from ._arrow import arrow_array

        return arrow_array(self)


for _name, (_func, _code) in _ops.UNARY.items():
    _unary = _ops.numpy_warnings_at_caller(
        lambda self, f=_func, c=_code: _ops.apply(type(self), f, [self], c)
    )
    setattr(WordsArray, _name, _unary)
WordsArray._add_arithmetic_ops()
WordsArray._add_comparison_ops()
WordsArray._add_logical_ops()


def _cast(values: Any, dtype: np.dtype, copy: bool) -> Any:
    """``values`` converted to ``dtype`` as pandas converts a plain column's: a gap or an
    infinity into integers raises, where numpy's own cast makes up a number."""
    if isinstance(values, np.ndarray):
        values = pd.arrays.NumpyExtensionArray(values)
    return np.asarray(values.astype(dtype, copy=copy))


def _joined(values: list) -> Any:
    """The values of several arrays of one dtype, one after another."""
    if isinstance(values[0], ExtensionArray):
        return type(values[0])._concat_same_type(values)
    return np.concatenate(values)


def _put(plain: Any, gaps: np.ndarray, value: Any) -> None:
    """``value`` into ``plain`` where ``gaps`` is true; a value per element fills its own."""
    if isinstance(plain, np.ndarray):
        np.putmask(plain, gaps, value)
    elif gaps.any():
        plain[gaps] = (
            np.asarray(value, dtype=object)[gaps] if pd.api.types.is_list_like(value) else value
        )


def _as_values(scalars: Any, dtype: np.dtype | None, copy: bool) -> np.ndarray:
    """Plain numpy values of ``scalars``, pandas' missing markers turned into NaN."""
    if isinstance(scalars, (pd.Series, pd.Index, ExtensionArray)):
        scalars = scalars.to_numpy(dtype=object) if dtype is None else scalars
    objects = isinstance(scalars, np.ndarray) and scalars.dtype == object
    if not isinstance(scalars, np.ndarray) or (objects and dtype is None):
        items = list(scalars) if pd.api.types.is_list_like(scalars) else [scalars]
        # one object per item, also when the items are lists of one length
        n = len(items)
        scalars = np.fromiter((np.nan if _is_na(x) else x for x in items), object, count=n)
        if dtype is None:
            dtype = _inferred(scalars, items)
    values = np.asarray(scalars, dtype=dtype)
    if copy and values is scalars:
        values = values.copy()
    if not supported(values.dtype):
        values = values.astype(object)
    return values


def _inferred(objects: np.ndarray, items: list) -> np.dtype:
    """The numpy dtype that ``items`` hold, as pandas infers it for a plain column."""
    dtype = _INFERRED.get(pd.api.types.infer_dtype(objects, skipna=False), np.dtype(object))
    if dtype.kind in "iub" and any(_is_na(x) for x in items):
        dtype = _missing_capable(dtype)
    return dtype


_INFERRED = {
    "floating": np.dtype("float64"),
    "integer": np.dtype("int64"),
    "mixed-integer-float": np.dtype("float64"),
    "boolean": np.dtype("bool"),
    "complex": np.dtype("complex128"),
    "empty": np.dtype("float64"),
}


def _is_na(x: Any) -> bool:
    return x is None or x is pd.NA or (isinstance(x, float) and np.isnan(x))


def _unpickled(
    values: Any,
    words: Any,
    node_ids: Any,
    numpy_dtype: Any,
    tracker: Any,
    carried: bool = False,
) -> Any:
    # Attach to the live tracker of the lineage here, in whose engine dense words may have
    # other signatures.
    live, translation = _trackers.live(tracker)
    words = _trackers.translate(words, translation)
    array = WordsArray(values, words, WordsDtype(numpy_dtype, live), node_ids)
    array.carried = carried
    return array
