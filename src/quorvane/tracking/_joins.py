"""merge and join of tracked frames: pandas joins the frames as they are, words and all.

Every column whose words ride in a words array goes through pandas' own join, which takes
its values, and so its words, to the rows it pairs (a fill of no word where a side had no
row). What the join adds to the words is which row of the other side each row was paired
with, decided by the key values of both sides:

* the joined-in side's columns combine, before the join, each row's own words with the
  words of that row's keys: the join moves them to wherever it pairs the row;
* after the join, each joined-in element combines those with the words of the kept side's
  keys of its row, which ride in the result's key columns. An element the keys paired with
  no row (a fill) has the keys' words alone.

Text keys of pandas' string dtype join as the ranks of their values (``_text_keys``).
The kept side's columns, and the keys, were only moved: they keep their words. A column
that holds its words beside its values (``QUORVANE_WORDS_IN_ARRAYS=0``, or made so by an
operation) goes into the join in a words array too, and comes out as it was.

The row tracer of ``_joins_traced`` still serves the joins this cannot take as pandas takes
the plain frames (``_plan`` says which):

* a column of words whose values a words array cannot hold (dates, categories);
* keys that pandas would pair otherwise as words arrays: keys of two dtypes where pandas
  shows the right's (an outer or right join, a right key column it keeps), or whose right
  values do not keep in the left's dtype; a column facing an index in ``merge`` other than
  ``right_index=True`` with ``left_on``; several columns facing an index's levels;
* a right join on keys both sides name alike (pandas gives the key the left's values, and
  words, where the rows paired), and an indicator with keys of words on the joined-in side:
  the kept side's keys, or the joined-in side's, would have no column to ride in;
* a join without a tracker, or of frames of two trackers or two families.

Both ways give the joined-in columns the same words (``_join_words``).
"""

from __future__ import annotations

from collections.abc import Callable, Hashable
from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame

from . import _join_call as call
from . import _join_words as join_words
from ._array import WordsArray
from ._dtype import WordsDtype, holds_text
from ._joins_traced import tracer_join
from ._plain_values import _plain_array
from ._positions import lookup, unknown_entries
from ._row_order import carry, selections_apart
from ._text_keys import TextKeys, paired_by_arrow

__all__ = ["join_key_pairs", "traced_join"]

join_key_pairs = call.join_key_pairs

Entries = join_words.Entries


def traced_join(left: Any, other: Any, how_called: str, args: tuple, kwargs: dict) -> Any:
    """``left.merge(other, ...)`` or ``left.join(other, ...)`` with the words that follow."""
    right = call.as_frame(other)
    if not isinstance(right, DataFrame):
        # A list of frames, an unnamed series: pandas decides (and raises where it does);
        # the result's rows cannot be followed.
        return getattr(DataFrame, how_called)(left, other, *args, **kwargs)
    plan = _plan(left, right, how_called, args, kwargs)
    if plan is None:
        return tracer_join(left, other, how_called, args, kwargs)
    return _joined(plan, how_called, args, kwargs)


class _Plan:
    """A join of two frames whose words ride in their values: the sides, the key pairs, and
    which side is carried (its rows kept) and which joined in."""

    def __init__(self, left: Any, right: Any, pairs: list[tuple], carried: str, cast: dict):
        self.left, self.right, self.pairs, self.carried = left, right, pairs, carried
        #: by right key label, the dtype its values take into the join
        self.cast = cast
        self.joined_side = "right" if carried == "left" else "left"
        #: by side and key label, the ranks that text keys of pandas' string dtype join as
        #: (see ``_text_keys``), and what gives their text back
        self.codes: dict[tuple[str, Hashable], np.ndarray] = {}
        self.text: dict[tuple[str, Hashable], TextKeys] = {}
        self.tracker = left._tracker
        self.fields = left._fields

    def side(self, name: str) -> Any:
        return self.left if name == "left" else self.right

    def key_labels(self, name: str) -> list[Hashable]:
        """The labels of the key columns of side ``name`` (not the right's index)."""
        labels = [pair[0 if name == "left" else 1] for pair in self.pairs]
        return [label for label in labels if label is not call.INDEX]

    def on_index(self) -> bool:
        """Whether the left's key column faces the right's index (``join(on=...)``)."""
        return any(pair[1] is call.INDEX for pair in self.pairs)


def _plan(left: Any, right: Any, how_called: str, args: tuple, kwargs: dict) -> _Plan | None:
    """The join as one pandas join of the frames as they are; None when it needs the row
    tracer (see the module doc)."""
    tracker = left._tracker
    tracked_right = hasattr(right, "_fields")
    if not tracker or (
        tracked_right and (right._fields != left._fields or right._tracker is not tracker)
    ):
        return None
    if not (_words_in_values(left) and _words_in_values(right)):
        return None
    pairs = call.column_key_pairs(left, right, how_called, args, kwargs)
    how = call.join_how(how_called, left, right, args, kwargs)
    cast = None if pairs is None else _right_keys_cast(left, right, pairs, how)
    if pairs is None or cast is None:
        return None
    carried = call.carried_side(left, right, how_called, args, kwargs)
    shared = any(a == b for a, b in pairs)
    if carried == "right" and shared:
        # pandas gives a key both sides name alike the left's values (and words) where the
        # rows paired: the kept right side's key would not reach the joined-in columns
        return None
    plan = _Plan(left, right, pairs, carried, cast)
    keyed = bool(_key_entries(plan, plan.joined_side))
    if keyed and call.indicator_label(left, right, how_called, args, kwargs) is not None:
        # the indicator takes the keys of both sides, and it has no joined-in values that
        # would bring the joined-in side's keys along
        return None
    if not _joined_in_held(plan, keyed):
        return None
    return plan


def _joined_in_held(plan: _Plan, keyed: bool) -> bool:
    """Whether every joined-in column that takes words into the join (its keys', or
    unknown ones) can hold them in a words array."""
    frame = plan.side(plan.joined_side)
    if not (keyed or call.computed_from_tracked(frame)):
        return True
    return all(_holds_words(dtype) for dtype in DataFrame(frame, copy=False).dtypes)


def _words_in_values(frame: Any) -> bool:
    """Whether every column of ``frame`` with words holds them, or can, in a words array, and
    its labels are one each."""
    if not isinstance(frame, DataFrame) or frame.columns.has_duplicates:
        return False
    if not hasattr(frame, "_fields"):
        return True
    dtypes = DataFrame(frame, copy=False).dtypes
    for label, dtype in dtypes.items():
        if join_words.entries_of(frame, label) is not None and not _holds_words(dtype):
            return False
    return True


def _holds_words(dtype: Any) -> bool:
    return (
        isinstance(dtype, WordsDtype) or holds_text(dtype) or getattr(dtype, "kind", "") in "biuf"
    )


def _values_dtype(frame: Any, label: Hashable) -> Any:
    """The plain dtype of ``frame``'s column ``label`` (the right's index for ``INDEX``);
    None for none pandas joins as a words array."""
    if label is call.INDEX:
        dtype = frame.index.dtype
    elif label in frame.columns:
        dtype = DataFrame(frame, copy=False).dtypes[label]
    else:
        return None
    if not _holds_words(dtype):
        return None
    return dtype.values_dtype if isinstance(dtype, WordsDtype) else dtype


def _right_keys_cast(left: Any, right: Any, pairs: list[tuple], how: str) -> dict | None:
    """By right key label, the numpy dtype of the left's key that the right's key takes
    into the join (keys of two dtypes pair as words arrays only as one); None when the keys
    cannot pair as words arrays as they pair as values.

    Only where pandas shows the left's key alone (a left or inner join on a key both name
    alike, or on the right's index) and the right's values keep every value in that dtype
    (integers and fractions that are whole, say): the rows pair as before."""
    cast = {}
    for a, b in pairs:
        lp, rp = _values_dtype(left, a), _values_dtype(right, b)
        if lp is None or rp is None:
            return None
        if lp == rp:
            continue
        hidden = how in ("left", "inner") and (a == b or b is call.INDEX)
        numbers = all(isinstance(d, np.dtype) and d.kind in "iuf" for d in (lp, rp))
        if not (hidden and numbers and _keeps_values(_key_values(right, b), lp)):
            return None
        cast[b] = lp
    return cast


def _key_values(frame: Any, label: Hashable, plain: bool = False) -> Any:
    """The values of a key column (``INDEX``: the index): numpy's, or (``plain``) as the
    plain column holds them."""
    array = frame.index.array if label is call.INDEX else DataFrame(frame, copy=False)[label].array
    if plain:
        return array.plain() if isinstance(array, WordsArray) else array
    return np.asarray(array)


def _keeps_values(values: np.ndarray, dtype: np.dtype) -> bool:
    with np.errstate(invalid="ignore"):
        cast = values.astype(dtype)
    return bool(np.array_equal(cast, values, equal_nan=dtype.kind == "f"))


def _joined(plan: _Plan, how_called: str, args: tuple, kwargs: dict) -> Any:
    left, right = plan.left, plan.right
    _rank_text_keys(plan)
    before = {plan.joined_side: _joined_in_before(plan), plan.carried: {}}
    sides = {name: _with_words(plan, name, before[name]) for name in ("left", "right")}
    joined = getattr(DataFrame, how_called)(sides["left"], sides["right"], *args, **kwargs)
    origins = call.origins(left, right, joined.columns, how_called, args, kwargs)
    arrays = [_key_as_given(plan, joined.iloc[:, i].array, o) for i, o in enumerate(origins)]
    arrays = [
        _text_back(plan, array, origin) for array, origin in zip(arrays, origins, strict=True)
    ]
    indicator = call.indicator_label(left, right, how_called, args, kwargs)
    mappings, joined_in = _entries_by_column(plan, joined.columns, arrays, origins, indicator)
    result = _result(plan, joined, arrays, origins, mappings)
    call.note_join_keys(result, call.key_columns(left, right, how_called, args, kwargs), joined_in)
    return result


def _entries_by_column(
    plan: _Plan, labels: Any, arrays: list, origins: list, indicator: Hashable | None
) -> tuple[dict[str, dict], list[Hashable]]:
    """Per field, the entries of each column of the join's result (a carried column, or a
    key, those it moved with; a joined-in one, see ``_joined_in_after``), and the labels of
    the joined-in columns."""
    kept_keys = _kept_keys(plan, arrays, origins)
    keyed = bool(_key_entries(plan, plan.joined_side))
    mappings: dict[str, dict] = {f.frame_attr: {} for f in plan.fields}
    joined_in = []
    for label, array, (side, source) in zip(labels, arrays, origins, strict=True):
        moved = _moved_entries(array)
        if side in (plan.carried, "key"):
            entries = moved if _had_entries(plan, (side, source)) else None
        elif side == plan.joined_side or label == indicator:
            before = keyed and side == plan.joined_side
            table = _lookup_table(plan, source, len(array)) if kept_keys and not keyed else []
            keys = kept_keys + table
            entries = _joined_in_after(plan, moved, keys, before, array)
            joined_in.append(label)
        else:
            entries = None
        if entries is not None:
            for f in plan.fields:
                mappings[f.frame_attr][label] = entries[f.series_attr]
    return mappings, joined_in


def _rank_text_keys(plan: _Plan) -> None:
    """Text keys of pandas' string dtype join as the ranks of their values (``_text_keys``)."""
    for a, b in plan.pairs:
        dtype = _values_dtype(plan.left, a)
        if not paired_by_arrow(dtype):
            continue
        sides = _key_values(plan.left, a, plain=True), _key_values(plan.right, b, plain=True)
        text = TextKeys(*sides, dtype)
        plan.codes[("left", a)], plan.codes[("right", b)] = text.left, text.right
        plan.text[("left", a)] = plan.text[("right", b)] = plan.text[("key", a)] = text


def _text_back(plan: _Plan, array: Any, origin: tuple[str, Hashable]) -> Any:
    """A key column that joined as ranks, as its text again (with the words it moved)."""
    text = plan.text.get(origin)
    if text is None or not isinstance(array, WordsArray):
        return array
    values = text.text(array.plain())
    return WordsArray(values, array.words, WordsDtype(values.dtype, plan.tracker), array.node_ids)


def _key_entries(plan: _Plan, name: str) -> list[Entries]:
    """The entries of the key columns of side ``name`` that have any."""
    frame = plan.side(name)
    found = [join_words.entries_of(frame, label) for label in plan.key_labels(name)]
    return [entries for entries in found if entries is not None]


def _joined_in_before(plan: _Plan) -> dict[Hashable, Entries]:
    """By label, the entries the joined-in side's columns take into the join: each row's own
    combined with those of its keys, one merge step (its own alone without keys of words).
    A column of an untracked table computed from tracked data reads unknown; one of a
    table written in the code has none."""
    frame = plan.side(plan.joined_side)
    keys = _key_entries(plan, plan.joined_side)
    shared = {a for a, b in plan.pairs if a == b}
    unknown = call.computed_from_tracked(frame)
    out: dict[Hashable, Entries] = {}
    for position, label in enumerate(frame.columns):
        if label in shared:
            continue  # pandas keeps one of the two alike: the left's
        own = join_words.entries_of(frame, label)
        if own is None and unknown:
            own = unknown_entries(plan.fields, plan.tracker, len(frame))
        own = join_words.taken_in(plan.left, own, keys, _values_at(frame, position))
        if own is not None:
            out[label] = own
    return out


def _values_at(frame: Any, position: int) -> Callable[[], Any]:
    return _plain_values(DataFrame(frame, copy=False).iloc[:, position].array)


def _plain_values(array: Any) -> Callable[[], Any]:
    """What gives a column's values as the plain column holds them (the DAG road records
    the values of what a step made)."""
    return lambda: _plain_array(array) if isinstance(array, WordsArray) else array


def _with_words(plan: _Plan, name: str, given: dict[Hashable, Entries]) -> DataFrame:
    """Side ``name`` as pandas' own frame whose columns with words hold them in words arrays:
    the entries ``given`` a column, else those the side reads for it. Its keys are words
    arrays on both sides, so that pandas pairs them as one dtype."""
    frame = plan.side(name)
    plain = DataFrame(frame, copy=False)
    keys = set(plan.key_labels(name))
    columns = {}
    cast = plan.cast if name == "right" else {}
    for position, label in enumerate(plain.columns):
        array = _cast(plain.iloc[:, position].array, cast.get(label))
        array = plan.codes.get((name, label), array)
        entries = given.get(label, join_words.entries_of(frame, label))
        if entries is None and label in keys:
            entries = _no_entries(plan, len(plain))
        columns[position] = array if entries is None else _words_array(plan, array, entries)
    index = plain.index
    if name == "right" and plan.on_index():
        array = plan.codes.get((name, call.INDEX), _cast(index.array, cast.get(call.INDEX)))
        if not isinstance(array, WordsArray):
            array = _words_array(plan, array, _no_entries(plan, len(index)))
        index = pd.Index(array, name=index.name, copy=False)
    out = DataFrame(columns, index=index, copy=False)
    out.columns = plain.columns
    return out


def _cast(array: Any, dtype: np.dtype | None) -> Any:
    if dtype is None:
        return array
    if isinstance(array, WordsArray):
        return array.astype(array.dtype.with_values(dtype), copy=False)
    return np.asarray(array).astype(dtype)


def _no_entries(plan: _Plan, n: int) -> Entries:
    return {f.series_attr: np.full(n, f.absent, dtype=f.dtype) for f in plan.fields}


def _words_array(plan: _Plan, array: Any, entries: Entries) -> WordsArray:
    """``array``'s values with ``entries``."""
    words, ids = entries["_prov"], entries.get("_node_ids")
    if isinstance(array, WordsArray):
        if array.words is words and array.node_ids is ids:
            return array
        return WordsArray(array.plain(), words, array.dtype, ids)
    dtype = getattr(array, "dtype", None)
    if isinstance(dtype, pd.StringDtype):
        return WordsArray(array, words, WordsDtype(dtype, plan.tracker), ids)
    return WordsArray.from_values(np.asarray(array), words, plan.tracker, ids)


def _key_as_given(plan: _Plan, array: Any, origin: tuple[str, Hashable]) -> Any:
    """A key both sides name alike, or a left key facing the right's index, in the dtype
    pandas gives the plain keys: where the join had no left row pandas fills the left's
    first (a words array fills integers with NaN, pandas' own numbers with 0) and then
    puts the right's there."""
    side, label = origin
    on = {("left", a) for a, b in plan.pairs if b is call.INDEX}
    if not isinstance(array, WordsArray) or not (side == "key" or (side, label) in on):
        return array
    if origin in plan.text:
        return array  # ranks, given their text back by ``_text_back``
    dtype = DataFrame(plan.left, copy=False).dtypes[label]
    values_dtype = dtype.values_dtype if isinstance(dtype, WordsDtype) else dtype
    if array.dtype.values_dtype == values_dtype:
        return array
    return array.astype(WordsDtype(values_dtype, plan.tracker), copy=False)


def _lookup_table(plan: _Plan, label: Hashable, n: int) -> list[Entries]:
    """A column joined in from a table written in the code (no words) by one key, which
    names each of its rows once: the table, key to value, as a constant operand of the
    join's step, on a road that logs constants; a replay then looks a changed key up in it
    as a ``map``. Nothing otherwise."""
    table = plan.side(plan.joined_side)
    logging = [f for f in plan.fields[1:] if f.constant is not None]
    if not logging or hasattr(table, "_fields") or len(plan.pairs) != 1:
        return []
    key = plan.pairs[0][0 if plan.joined_side == "left" else 1]
    keys = table.index if key is call.INDEX else DataFrame(table, copy=False).get(key)
    if keys is None or label not in table.columns or not pd.Index(keys).is_unique:
        return []
    values = DataFrame(table, copy=False)[label]
    constant: dict[str, Any] = {f.series_attr: None for f in plan.fields}
    pairs = dict(zip(pd.Index(keys).tolist(), values.tolist(), strict=True))
    for f in logging:
        constant[f.series_attr] = np.full(n, f.constant(plan.tracker, pairs), f.dtype)
    return [constant]


def _kept_keys(plan: _Plan, arrays: list, origins: list) -> list[Entries]:
    """The entries of the kept side's keys of each result row, as the result's key columns
    hold them (a key both sides name alike: the right's where no left row was paired)."""
    wanted = {(plan.carried, label) for label in plan.key_labels(plan.carried)}
    wanted |= {("key", a) for a, b in plan.pairs if a == b}
    out = []
    for array, origin in zip(arrays, origins, strict=True):
        if origin in wanted and _had_entries(plan, origin):
            out.append(_moved_entries(array))
    return [entries for entries in out if entries is not None]


def _had_entries(plan: _Plan, origin: tuple[str, Hashable]) -> bool:
    """Whether the source of a result column (a side and a label) had entries. A key both
    sides name alike holds the left's values where the rows paired: with no words there,
    the right's (pandas' where the left had no row) came in with the joined-in columns."""
    side, label = origin
    return join_words.entries_of(plan.side("left" if side == "key" else side), label) is not None


def _moved_entries(array: Any) -> Entries | None:
    if not isinstance(array, WordsArray):
        return None
    entries = {"_prov": array.words}
    if array.node_ids is not None:
        entries["_node_ids"] = array.node_ids
    return entries


def _joined_in_after(
    plan: _Plan, moved: Entries | None, keys: list[Entries], before: bool, array: Any
) -> Entries | None:
    decided = selections_apart(plan.side(plan.carried), plan.side(plan.joined_side))
    return join_words.paired(plan.left, moved, keys, before, _plain_values(array), decided)


def _result(plan: _Plan, joined: DataFrame, arrays: list, origins: list, mappings: dict) -> Any:
    """The tracked frame of the join: a column whose source held words in a words array
    holds them so, with the entries the join gave it; any other, pandas' own values."""
    columns = {}
    for position, (array, origin) in enumerate(zip(arrays, origins, strict=True)):
        label = joined.columns[position]
        entries = {f.series_attr: lookup(mappings[f.frame_attr], label) for f in plan.fields}
        columns[position] = _column_values(plan, array, origin, entries)
    out = DataFrame(columns, index=joined.index, copy=False)
    out.columns = joined.columns
    # built without the tracker, so that columns without entries log no unknown source
    result = type(plan.left)(out)
    object.__setattr__(result, "_tracker", plan.tracker)
    result._set_mappings(mappings)
    carry(result, plan.left, plan.right)
    return result


def _column_values(plan: _Plan, array: Any, origin: tuple[str, Hashable], entries: dict) -> Any:
    """A result column's values: pandas' own, or the entries the join gave it in a words
    array where its source held words so (those of the kept side and the keys only moved)."""
    side, label = origin
    if not isinstance(array, WordsArray):
        return array
    source = None if side == "none" else plan.side("left" if side == "key" else side)
    if not _words_column(source, label):
        return _plain_array(array)
    if entries["_prov"] is None:
        return array
    made = WordsArray(array.plain(), entries["_prov"], array.dtype, entries.get("_node_ids"))
    made.carried = side in (plan.carried, "key")
    return made


def _words_column(frame: Any, label: Hashable) -> bool:
    """Whether ``frame``'s column ``label`` holds its words in its values."""
    if frame is None or not hasattr(frame, "_fields"):
        return False
    return isinstance(DataFrame(frame, copy=False).dtypes[label], WordsDtype)
