"""numpy's reductions of a words array, as numpy's array of its numbers takes them.

pandas hands out a words array where a plain series of numbers gives numpy's array
(``s.values``), and user code reduces it as such: ``s.values.std()``, ``s.values.max()``.
Each reduction is the plain array's value, carrying one value made of every element of the
series that last handed the array out and of what selected its rows, and the unknown source
besides: the array may be shared by series whose rows were selected otherwise. A words array
no series handed out gives the plain value.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ._array_wholes import scalar_of

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
        handed = getattr(self, "handed_out_by", None)
        if handed is None or not self.tracker:
            return value
        fields, maker = handed
        return scalar_of(value, (maker,), self.tracker, fields, name, in_order=True)

    reduce.__name__ = reduce.__qualname__ = name
    reduce.__doc__ = getattr(np.ndarray, name).__doc__
    return reduce


class NumpyReductions:
    """The reductions above, for a words array."""


for _name in NUMPY_REDUCTIONS:
    setattr(NumpyReductions, _name, _numpy_reduction(_name))

__all__ = ["NUMPY_REDUCTIONS", "NumpyReductions"]
