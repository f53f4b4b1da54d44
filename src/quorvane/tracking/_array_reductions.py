"""numpy's reductions and functions of a words array, as numpy's array of its numbers
takes them.

pandas hands out a words array where a plain series of numbers gives numpy's array
(``s.values``), and user code reduces it as such: ``s.values.std()``, ``s.values.max()``.
Each reduction is the plain array's value, carrying one value made of every element of the
series that last handed the array out and of what selected its rows, and the unknown source
besides: the array may be shared by series whose rows were selected otherwise. A words array
no series handed out gives the plain value.

So do numpy's functions given it (``np.percentile(s.values, 90)``, ``np.sort``: numpy's
array of what they make carries the same), and its elements looped over or unpacked
(``lo, hi = q.values``, ``max(s.values)``), each read by position: unknown besides.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ._array_wholes import POSITIONAL, scalar_of

#: numpy's array methods that reduce it to one value (not ``argmin``, ``argmax``: pandas'
#: extension arrays have their own, which pandas calls).
NUMPY_REDUCTIONS = ("sum", "prod", "mean", "std", "var", "min", "max")


def _numpy_reduction(name: str) -> Any:
    def reduce(self: Any, *args: Any, **kwargs: Any) -> Any:
        if "skipna" in kwargs:  # pandas' own form, as its extension arrays take it
            value = self._reduce(name, **kwargs)
        else:
            plain = self.plain()
            values = plain if isinstance(plain, np.ndarray) else np.asarray(plain)
            value = getattr(values, name)(*args, **kwargs)
        return self._made(value, name, in_order=True)

    reduce.__name__ = reduce.__qualname__ = name
    reduce.__doc__ = getattr(np.ndarray, name).__doc__
    return reduce


class NumpyReductions:
    """The reductions above, numpy's functions and the elements one by one, for a words
    array."""

    plain: Any  # the words array's own: its values as the plain column holds them

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        # numpy's own function, as it runs on an object without this method: it calls the
        # array's method of that name (np.repeat, np.sum), or converts it
        result = func._implementation(*args, **kwargs)
        if isinstance(result, NumpyReductions):
            return result  # the array's own method: its entries are its own
        return self._made(result, func.__name__)

    def handed_out_elements(self) -> Any:
        """The elements one by one, each a number of the whole series (None where no series
        handed the array out)."""
        if getattr(self, "handed_out_by", None) is None:
            return None
        return (self._made(v, "iter", in_order=True) for v in self.plain().tolist())

    def _made(self, result: Any, name: str, in_order: bool = False) -> Any:
        handed = getattr(self, "handed_out_by", None)
        if handed is None:
            return result
        tracker, fields, maker = handed
        if isinstance(result, tuple):  # np.histogram: the counts and the edges
            return tuple(self._made(r, name) for r in result)
        if isinstance(result, np.ndarray) and result.ndim > 0:
            # numpy's arrays with entries build on the words arrays' module, not it on them
            from ._arrays import holding_whole

            return holding_whole(result, (maker,), tracker, fields)
        in_order = in_order or name in POSITIONAL
        return scalar_of(result, (maker,), tracker, fields, name, in_order=in_order)


for _name in NUMPY_REDUCTIONS:
    setattr(NumpyReductions, _name, _numpy_reduction(_name))

__all__ = ["NUMPY_REDUCTIONS", "NumpyReductions"]
