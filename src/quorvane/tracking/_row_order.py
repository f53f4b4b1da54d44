"""What decided the rows: a result made of several rows names what ordered and selected them.

A sort puts rows in an order chosen by values (``sort_values``, ``sort_index`` of an index
made of a column, ``sample`` with weights, ``nlargest``); a filter keeps the rows a
condition chose (a boolean mask, ``query``, ``dropna`` and ``drop_duplicates`` by their
columns, ``head``/``tail``/``iloc`` after a sort by that order). The rows kept keep their
own words, as they should, but an operation that combines several rows computes values
that also depend on what decided them: a mean depends on which rows the filter kept, a
cumulative sum also on which rows come before which. So a container remembers each
*decision* about its rows, of one of two kinds: its *order* and its *selection*. A
decision is, per field, the entry of one value derived from every element of what decided
(one step over the whole key columns or mask, and the decisions of its kind made before;
on the DAG road one AGGREGATE node named after the operation). Every result pandas builds
from a container carries its decisions on (rows moved or taken, columns picked,
element-wise operations; a result of several tracked operands takes the decisions of
all). An operation that combines several rows (reductions, groups, windows, cumulative
methods, ranks, counts) combines the selection into every element it produces, an
order-dependent one the order as well, one ORDER step further than the elements it made
first (on the DAG road one "row order" or "row selection" node per element).

A safe over-approximation: a cumulative sum's first element does not depend on the sort
key, a group's mean not on rows the filter dropped from other groups, but nothing the
values depend on through their rows is left out.
"""

from __future__ import annotations

import functools
import threading
import weakref
from contextlib import AbstractContextManager
from typing import Any

import numpy as np
from pandas import DataFrame, Index, Series

from ..core._operations import held
from ._array_words import hold_remade
from ._positions import _has_key, _same_family, lookup

#: Per field, the key arrays of a decision (None: a key whose provenance is not known).
Keys = dict[str, list[np.ndarray | None]]

#: The attribute of a container holding the decisions about its rows (see ``Decision``):
#: a tuple, one per decision a result took from its operands.
ATTRIBUTE = "_row_order"

#: The kinds of decision: which rows come before which, which rows are there at all, and
#: which row holds which label (rows given new labels by their place, after an order or a
#: selection: whatever is lined up with them by label meets the rows those decisions put
#: there).
ORDER = "order"
SELECTION = "selection"
PLACE = "place"
#: The kinds that decide what another container's rows meet when lined up by label.
_APART = (SELECTION, PLACE)


class Decision:
    """What one operation decided its rows by: per field, the key arrays of the rows it had,
    and the decisions of the same kind made before. Its entries are made when an
    operation first needs them (so a sort or a filter alone logs no node), then kept."""

    def __init__(self, tracker: Any, fields: tuple, keys: Keys, prior: tuple, name: str, kind: str):
        self.kind = kind
        self._tracker = tracker
        self._fields = fields
        self._keys: Keys | None = keys
        self._prior = prior
        self._name = name
        self._entries: tuple[int, ...] | None = None

    def entries(self) -> tuple[int, ...]:
        """One entry per field: a value derived from every key element and prior decision."""
        if self._entries is None:
            keys = self._keys or {}
            priors = [prior.entries() for prior in self._prior]
            arrays = {
                f.series_attr: [
                    *keys.get(f.series_attr, []),
                    *(np.array([entries[k]]) for entries in priors),
                ]
                for k, f in enumerate(self._fields)
            }
            self._entries = key_entries(self._tracker, self._fields, arrays, self._name)
            self._keys, self._prior = None, ()  # made: the arrays are no longer needed
        return self._entries


def key_entries(
    tracker: Any, fields: tuple, keys: Keys, name: str, op: int | None = None
) -> tuple[int, ...]:
    """Per field, the entry of one value derived from every element of the ``keys``."""
    from ..core._word import OpCode
    from ._combining import whole_entries

    arrays = {
        f.series_attr: [_known(a, f, tracker) for a in keys.get(f.series_attr, [])] for f in fields
    }
    entry = whole_entries(tracker, fields, arrays, name, OpCode.ORDER if op is None else op)
    return tuple(entry.get(f.series_attr, f.absent) for f in fields)


def _known(array: np.ndarray | None, field: Any, tracker: Any) -> np.ndarray:
    """A key's array, or for a key whose provenance is not known the unknown entry (made,
    and under strict provenance refused, only when an operation needs the decision)."""
    return np.array([field.unknown(tracker)]) if array is None else array


def row_order_of(obj: Any) -> tuple:
    return getattr(obj, ATTRIBUTE, None) or ()


def carry(result: Any, *sources: Any) -> None:
    """``result``, built from ``sources``, takes their decisions (with any it has)."""
    for source in sources:
        if row_order_of(source):
            object.__setattr__(result, ATTRIBUTE, carried(result, source))
            if getattr(result, "index", None) is not getattr(source, "index", None):
                _behind_index(result, row_order_of(result))  # set_index, reset_index


def remember(
    source: Any, target: Any, keys: Keys, operation: str, kind: str = ORDER, in_order: bool = False
) -> None:
    """``target`` (rows of ``source``) is in an order, or holds a selection, decided by the
    ``keys`` (per field, the key arrays of ``source``'s rows) and by the decisions of that
    kind made before (of both kinds for a selection made ``in_order``: the first or last of
    each key, after a sort); it keeps the decisions of the other kind."""
    tracker = getattr(source, "_tracker", None)
    if not tracker or not any(keys.values()):
        return
    before = carried(target, source)
    prior = tuple(d for d in before if d.kind == kind or in_order)
    decision = Decision(tracker, source._fields, keys, prior, operation, kind)
    object.__setattr__(target, ATTRIBUTE, (*(d for d in before if d.kind != kind), decision))
    if source is target or target.index is not getattr(source, "index", None):
        _behind_index(target, row_order_of(target))


#: The decisions behind an index that an operation on rows made, by the index: its labels
#: handed out (``idx = t[t.white == 1].index``) and given back to ``loc`` or ``reindex``
#: pick the rows those decisions chose, also once the container they came from is gone.
_BEHIND: dict[int, tuple[weakref.ref, tuple]] = {}


def _behind_index(container: Any, decisions: tuple) -> None:
    """Notes the decisions behind ``container``'s index, unless its labels are values
    whose words it keeps beside them (an index made of a column): those decided the labels
    too, and an index handed out does not carry them."""
    index = getattr(container, "index", None)
    if not isinstance(index, Index):
        return
    if getattr(container, "_index_words", None):
        levels = (index.get_level_values(i).array for i in range(index.nlevels))
        if not all(_words_array(a) for a in levels):
            return
    key = id(index)
    _BEHIND[key] = (weakref.ref(index, functools.partial(_forget_index, key)), decisions)


def note_index(container: Any) -> None:
    """Notes the decisions behind ``container``'s index (see ``_BEHIND``), where it has
    any: for an index an operation made of the container's columns (``set_index``)."""
    decisions = row_order_of(container)
    if decisions:
        _behind_index(container, decisions)


def _forget_index(key: int, _gone: Any) -> None:
    _BEHIND.pop(key, None)


def _words_array(array: Any) -> bool:
    from ._array import WordsArray

    return isinstance(array, WordsArray)


def keys_behind(index: Any, tracker: Any, fields: tuple) -> Keys | None:
    """Per field, the entries of the decisions behind ``index`` (see ``_BEHIND``) as the
    keys of a selection by its labels; None for labels no operation of ``tracker``'s
    containers on ``fields`` made."""
    found = _BEHIND.get(id(index))
    if found is None or found[0]() is not index:
        return None
    decisions = [d for d in found[1] if d._tracker is tracker and d._fields == fields]
    if not decisions:
        return None
    entries = [d.entries() for d in decisions]
    return {
        f.series_attr: [np.array([e[k]], dtype=f.dtype) for e in entries]
        for k, f in enumerate(fields)
    }


def picked_in_order(target: Any, operation: str) -> None:
    """``target``'s rows were picked by their place (``head``, ``tail``, a positional slice,
    ``nlargest``, ``sample``): after a sort, its order decided which rows it kept."""
    tracker = getattr(target, "_tracker", None)
    before = row_order_of(target)
    if not tracker or not any(d.kind == ORDER for d in before):
        return
    decision = Decision(tracker, target._fields, {}, before, operation, SELECTION)
    object.__setattr__(target, ATTRIBUTE, (*(d for d in before if d.kind == ORDER), decision))
    _behind_index(target, row_order_of(target))


def placed_in_order(target: Any, operation: str) -> None:
    """``target``'s rows were given new labels by their place (``reset_index``,
    ``set_axis``, a sort with ``ignore_index``): after a sort or a filter, those decided
    which row holds which label."""
    tracker = getattr(target, "_tracker", None)
    before = row_order_of(target)
    if not tracker or not any(d.kind in (ORDER, SELECTION) for d in before):
        return
    decision = Decision(tracker, target._fields, {}, before, operation, PLACE)
    object.__setattr__(target, ATTRIBUTE, (*before, decision))
    _behind_index(target, row_order_of(target))


def carried(target: Any, source: Any) -> tuple:
    """The decisions of ``target`` and of ``source`` it was built from, each once."""
    decisions = list(row_order_of(target))
    decisions.extend(d for d in row_order_of(source) if all(d is not x for x in decisions))
    return tuple(decisions)


def column_keys(frame: Any, labels: list) -> Keys:
    """Per field, the arrays of the key columns (or index levels) ``labels`` of ``frame``:
    None for a column whose provenance is not known; an index level that did not come
    from a column is not data of a source, and counts for nothing."""
    index_names = list(frame.index.names)
    out: Keys = {}
    for f in frame._fields:
        level_arrays = (getattr(frame, "_index_words", None) or {}).get(f.series_attr) or []
        arrays = out.setdefault(f.series_attr, [])
        for label in labels:
            if _has_key(label) and label in frame.columns:
                arrays.append(lookup(getattr(frame, f.frame_attr), label))
            elif label in index_names and len(level_arrays) == len(index_names):
                level = level_arrays[index_names.index(label)]
                if level is not None:
                    arrays.append(level)
    return out


def own_keys(series: Any) -> Keys:
    """Per field, the series' own array: it is its own sort key."""
    return {f.series_attr: [getattr(series, f.series_attr)] for f in series._fields}


def index_keys(obj: Any) -> Keys:
    """Per field, the arrays of the index levels that came from columns."""
    words = getattr(obj, "_index_words", None) or {}
    return {
        f.series_attr: [a for a in words.get(f.series_attr) or [] if a is not None]
        for f in obj._fields
    }


def sort_keys(obj: Any, method: str, args: tuple, kwargs: dict) -> Keys:
    """Per field, the arrays of what a sort of ``obj`` orders its rows by."""
    if kwargs.get("axis", 0) not in (0, "index"):
        return {}
    if method == "sort_index":
        return index_keys(obj)
    if isinstance(obj, Series):
        return own_keys(obj)
    by = kwargs.get("by", args[0] if args else None)
    return column_keys(obj, by if isinstance(by, list) else [by])


def applied(source: Any, result: Any, in_order: bool = True) -> Any:
    """``result`` (of an operation that combined several of ``source``'s rows, each
    element's entries already made) with ``source``'s selection combined into every
    element, and its order too when the operation read the rows ``in_order``; a frame's,
    column by column."""
    decisions = tuple(d for d in row_order_of(source) if in_order or d.kind == SELECTION)
    tracker = getattr(source, "_tracker", None)
    if not decisions or not tracker or not _same_family(result, source._fields):
        return result
    object.__setattr__(result, "_tracker", tracker)
    _combined_everywhere(result, decisions, tracker)
    carry(result, source)
    return result


def with_selections(result: Series, made: Series) -> Series:
    """``made`` (a copy of ``result``, a named result: the decisions an auditor asks
    about) with each element combined with the selections that chose ``result``'s rows (a
    filter, a dropna, a head after a sort), so that what decided whether the row is there
    at all is part of every element's lineage, as it is of an aggregate's: an element-wise
    result alone never reads them, and a what-if would give a number to a row the change
    drops."""
    selections = tuple(d for d in row_order_of(result) if d.kind == SELECTION)
    tracker = getattr(result, "_tracker", None)
    if selections and tracker:
        object.__setattr__(made, ATTRIBUTE, ())
        _combined(made, selections, tracker)
    return made


def _combined_everywhere(result: Any, decisions: tuple, tracker: Any) -> None:
    """Every element of ``result`` (a frame's, column by column) combined with the
    ``decisions``, in place."""
    if isinstance(result, DataFrame):
        mappings = {f.frame_attr: dict(getattr(result, f.frame_attr)) for f in result._fields}
        for label in mappings[result._fields[0].frame_attr]:
            column = result[label]
            if isinstance(column, Series):
                _combined(column, decisions, tracker)
                for f in result._fields:
                    mappings[f.frame_attr][label] = getattr(column, f.series_attr)
        result._set_mappings(mappings)
    else:
        _combined(result, decisions, tracker)


def _combined(result: Series, decisions: tuple, tracker: Any) -> None:
    """Every element of ``result`` combined with the ``decisions``, in place."""
    from ..core._word import OpCode

    n = len(result)
    fields = result._fields
    operands = [
        type(result)(
            np.zeros(n),
            index=result.index,
            _tracker=tracker,
            **{f.series_attr: np.full(n, e[k], dtype=f.dtype) for k, f in enumerate(fields)},
        )
        for e in (decision.entries() for decision in decisions)
    ]
    selects = any(d.kind == SELECTION for d in decisions)
    object.__setattr__(result, "_tracker", tracker)
    result._derived(
        result, [result, *operands], "row selection" if selects else "row order", OpCode.ORDER
    )


_partitions = threading.local()


def partitions_of_one_frame() -> AbstractContextManager[None]:
    """Within it, a concat joins the partitions of one frame (a Dask frame's), each filtered
    by the same condition: not rows that different conditions chose."""
    return held(_partitions, "on", True)


def recombined(result: Any, objs: list) -> None:
    """``result`` stacks the rows of ``objs`` (``pd.concat``): where the pieces were chosen by
    different conditions (filter, compute, then concat: a segment formula), each row's
    elements also come from the condition that chose its piece, one ORDER step further.
    Decisions all pieces share decide nothing between them and add nothing."""
    tracker = getattr(result, "_tracker", None)
    if getattr(_partitions, "on", False) or not tracker:
        return
    if sum(len(obj) for obj in objs) != len(result):
        return
    chosen = [[d for d in row_order_of(obj) if d.kind == SELECTION] for obj in objs]
    shared = set.intersection(*({id(d) for d in c} for c in chosen)) if chosen else set()
    own = [[d for d in c if id(d) not in shared] for c in chosen]
    if not any(own):
        return
    spans, start = [], 0
    for obj, decisions in zip(objs, own, strict=True):
        spans.append((start, start + len(obj), [d.entries() for d in decisions]))
        start += len(obj)
    if isinstance(result, DataFrame):
        mappings = {f.frame_attr: dict(getattr(result, f.frame_attr)) for f in result._fields}
        words_attr = result._fields[0].frame_attr
        for label in list(mappings[words_attr]):
            columns = {f: mappings[f.frame_attr].get(label) for f in result._fields}
            if all(c is not None for c in columns.values()):
                values = _column_values(result, label)
                made = _with_conditions(tracker, result._fields, columns, spans, values)
                for f in result._fields:
                    mappings[f.frame_attr][label] = made[f]
        plain = DataFrame(result, copy=False)  # reading the tracked frame's would follow it
        for label in mappings[words_attr]:
            entries = {f.series_attr: mappings[f.frame_attr].get(label) for f in result._fields}
            inputs = [_array_of(obj, label) for obj in objs]
            held = hold_remade(_array_of(plain, label), entries, inputs)
            if held is not None:  # read where the array holds them
                for f in result._fields:
                    mappings[f.frame_attr][label] = held[f.series_attr]
        result._set_mappings(mappings)
    else:
        columns = {f: getattr(result, f.series_attr) for f in result._fields}
        made = _with_conditions(tracker, result._fields, columns, spans, result._values)
        entries = {f.series_attr: made[f] for f in result._fields}
        inputs = [_array_of(obj) for obj in objs]
        result._set_fields(hold_remade(result.array, entries, inputs) or entries)


def _array_of(obj: Any, label: Any = None) -> Any:
    """The array of the series ``obj``, or of its column ``label`` when a frame; None
    for a label it lacks or holds twice."""
    if isinstance(obj, DataFrame):
        try:
            obj = DataFrame(obj, copy=False)[label]
        except (KeyError, TypeError):
            return None
    return obj.array if isinstance(obj, Series) else None


def aligned_back(holder: Any, value: Any, positions: np.ndarray | None) -> list[tuple[int, ...]]:
    """The entries of ``value``'s selections when it is lined up onto rows it lacks
    (``positions`` holds a NO_ROW: a filtered segment aligned back onto all the rows, by an
    operator, an assignment, a concat of columns or a join). Which rows hold its values and
    which a fill was decided by the condition that chose its rows, so every element of what
    it is lined up into depends on it. So, wherever it is lined up (``positions`` None: in
    place), do the decisions that placed its rows under labels by their place. Decisions
    ``holder`` (the other side) shares decide nothing between them."""
    if positions is not None and not len(positions):
        return []
    if positions is None or positions.min() >= 0:  # every row there: labels given by place
        return _apart(holder, value, (PLACE,))
    return selections_apart(holder, value)


def chosen_with(result: Any, source: Any, other: Any) -> None:
    """``result`` is ``source`` aligned with ``other`` (``align``): where its rows are not
    ``source``'s, the labels ``other`` holds decided which rows it has (the union of both
    sides', or those both hold), and so which hold a value and which a fill. Every element
    combines the decisions that chose ``other``'s rows (those ``source`` shares decide
    nothing between them), and ``result`` keeps them: what later lines it up onto rows it
    lacks names them too."""
    if not isinstance(result, (Series, DataFrame)) or result.index.equals(source.index):
        return
    tracker = getattr(result, "_tracker", None)
    if tracker is None or getattr(other, "_tracker", None) is not tracker:
        return  # decisions of another tracker, or none
    own = {id(d) for d in row_order_of(result)}
    chosen = tuple(d for d in row_order_of(other) if d.kind in _APART and id(d) not in own)
    if chosen and _same_family(result, other._fields):
        object.__setattr__(result, ATTRIBUTE, (*row_order_of(result), *chosen))
        _combined_everywhere(result, chosen, tracker)
        if isinstance(result, DataFrame):
            for label in result.columns.unique():
                column = result[label]  # pandas 2 hands out the column it cached before
                if isinstance(column, Series):
                    carry(column, result)


def selections_apart(holder: Any, value: Any) -> list[tuple[int, ...]]:
    """The entries of the selections of ``value`` (and of its rows' places, see
    ``placed_in_order``) that ``holder`` does not share."""
    return _apart(holder, value, _APART)


def _apart(holder: Any, value: Any, kinds: tuple) -> list[tuple[int, ...]]:
    own = {id(d) for d in row_order_of(holder)}
    return [d.entries() for d in row_order_of(value) if d.kind in kinds and id(d) not in own]


def with_decided(tracker: Any, fields: tuple, columns: dict, decided: list) -> dict:
    """Per field, a copy of ``columns`` (one column's arrays) whose every element also
    combines the ``decided`` entries (see ``aligned_back``), one ORDER step further."""
    if not decided:
        return columns
    n = len(columns[fields[0]])
    return _with_conditions(tracker, fields, columns, [(0, n, decided)])


def _column_values(frame: Any, label: Any) -> np.ndarray | None:
    """The values of the column ``label`` of ``frame``, read by position: reading it by
    label would put a series into pandas 2's column cache before its entries are made."""
    try:
        position = frame.columns.get_loc(label)
    except (KeyError, TypeError):
        return None
    if not isinstance(position, int):
        return None  # a label held twice
    return np.asarray(frame.iloc[:, position])


def _with_conditions(
    tracker: Any, fields: tuple, columns: dict, spans: list, values: Any = None
) -> dict:
    """Per field, a copy of ``columns`` whose rows in each span combine that span's
    decision entries; a field that keeps values records ``values`` (the column's, where
    known) on the entries made: each row's value is the one its segment computed."""
    from ..core._algebra import combine_words
    from ..core._word import OpCode

    words_field = fields[0]
    out = {f: np.array(columns[f], dtype=f.dtype) for f in fields}
    for start, end, decided in spans:
        for entries in decided:
            n = end - start
            lent = [np.full(n, entries[k], dtype=f.dtype) for k, f in enumerate(fields)]
            words = combine_words(tracker, out[words_field][start:end], lent[0], OpCode.ORDER)
            for k, f in enumerate(fields[1:], start=1):
                if f.element is not None:
                    inputs = [out[f][start:end], lent[k]]
                    out[f][start:end] = f.element(tracker, inputs, words, "row selection")
                    if f.value is not None and values is not None:
                        f.value(tracker, out[f][start:end], values[start:end])
            out[words_field][start:end] = words
    return out
