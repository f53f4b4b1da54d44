"""Everything that differs between the pandas versions the tracked containers support.

pandas 2.2 and 3.x are both served. The differences that matter to the containers:

* pandas 3 builds most results through ``_constructor_from_mgr`` /
  ``_constructor_sliced_from_mgr`` and ``_from_mgr``, which skip ``__init__``; pandas 2.2
  uses the same hooks but, for a subclass, would hand a block manager to ``__init__``
  (deprecated, and it warns). The containers therefore build from managers themselves,
  through :func:`from_mgr`.
* With ``inplace=True`` pandas 3 returns the modified object itself, pandas 2 returns
  None. :func:`inplace_requested` is how the containers recognise such a call, whatever
  the version returns.
* Copy-on-Write is always on in pandas 3: ``.values`` may be a read-only view.
* pandas 2 caches a ``.str``/``.dt`` accessor on the instance the first time it is read,
  which a subclass that serves these names as properties cannot take: see
  :func:`series_accessor`.
* ``DataFrame.eval`` (and so ``query``) hands the expression plain series for the columns
  under pandas 2, the frame's own columns under pandas 3: see
  :data:`EVAL_SEES_PLAIN_COLUMNS`.
* ``__finalize__`` of a concat's or a merge's result is given the call, not one source:
  pandas 3 names its inputs ``input_objs``, pandas 2 ``objs`` or ``left``/``right``: see
  :func:`finalized_inputs`.
* pandas 2 hands a words array's ``fillna`` a ``method=None`` beside the value, pandas 3
  only the value: see :func:`fill_options`.

The pandas names the containers build on are its documented subclassing points:
``_metadata`` and ``__finalize__`` (attributes that follow a result), ``_constructor``,
``_constructor_sliced`` and ``_constructor_expanddim`` (the classes, or functions, pandas
builds results with), and their ``*_from_mgr`` twins with ``_from_mgr`` (see
:func:`from_mgr`). Three private methods are still overridden, for want of a public route
(``_follow``): ``_slice``, through which a positional slice (``iloc``, ``head``, ``tail``)
says which rows it took, and ``_inplace_method`` and ``_update_inplace``, through which
``s += x`` and ``inplace=True`` replace the receiver's data without a result to finalise.
The words array answers two private questions pandas asks of any column whose dtype reads
as text before writing into it: ``_validate_setitem_value`` (pandas 2.2 and 3.x) and
``_maybe_convert_setitem_value`` (pandas 2.3); it passes them to pandas' string array.
"""

from __future__ import annotations

import re
from typing import Any

import pandas as pd


def _version_tuple(text: str) -> tuple[int, int]:
    match = re.match(r"(\d+)\.(\d+)", text)
    if match is None:  # pragma: no cover - pandas always has a numeric version
        return (0, 0)
    return int(match.group(1)), int(match.group(2))


PANDAS_VERSION = _version_tuple(pd.__version__)
PANDAS_GE_30 = PANDAS_VERSION >= (3, 0)

# In-place fillna/replace/clip return the receiver under pandas 3, None before.
INPLACE_RETURNS_SELF = PANDAS_GE_30


def fill_options(kwargs: dict[str, Any]) -> dict[str, Any]:
    """The options an extension array's ``fillna`` was given beyond a value and a limit:
    pandas 2 passes ``method=None`` with every value (pandas 3 has no ``method`` there)."""
    return {k: v for k, v in kwargs.items() if not (k == "method" and v is None)}


# pandas 2 builds the columns an expression names as plain Series from the bare column
# arrays; pandas 3 takes them from the frame (``frame[name]``), so they keep the frame's type.
EVAL_SEES_PLAIN_COLUMNS = not PANDAS_GE_30


def series_accessor(series: Any, name: str) -> Any:
    """pandas' accessor ``name`` (``"str"``, ``"dt"``) of ``series``, built afresh.

    Read on the class, ``Series.str`` and ``Series.dt`` are the accessor classes in pandas
    2.2 and 3.x alike; building one directly skips pandas 2's descriptor, which would store
    the accessor on the instance, where a subclass's property of that name refuses it.
    """
    return getattr(pd.Series, name)(series)


def inplace_requested(kwargs: dict[str, Any]) -> bool:
    """True when a pandas method was asked to work in place.

    pandas validates the flag itself; anything truthy is what pandas acts on.
    """
    return bool(kwargs.get("inplace", False))


def from_mgr(cls: type[Any], mgr: Any, axes: Any) -> Any:
    """Build an instance of the pandas subclass ``cls`` directly from a block manager.

    ``_from_mgr`` exists with this signature in pandas 2.2 and 3.x and does not call
    ``__init__``, so the caller must set the instance attributes afterwards.
    """
    return cls._from_mgr(mgr, axes=axes)


def finalized_inputs(other: Any) -> list:
    """The inputs of the pandas call whose result is finalised from ``other``, when that is
    the call rather than one source (concat, merge); empty otherwise.

    ``__finalize__``'s documentation names ``input_objs`` (pandas 3); pandas 2 hands the
    same call objects with the inputs as ``objs`` (concat) or ``left`` and ``right`` (merge).
    """
    for found in (getattr(other, "input_objs", None), getattr(other, "objs", None)):
        if found is not None:
            return list(found)
    pair = [getattr(other, "left", None), getattr(other, "right", None)]
    return [x for x in pair if x is not None]
