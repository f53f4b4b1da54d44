"""What a function given to pandas can read besides its argument: found wherever it is held,
library code left closed, and a reach too large to follow read as unknown."""

from __future__ import annotations

import functools
import types

import numpy as np
import pandas as pd
import pytest

from quorvane.tracking import _closures
from quorvane.tracking._elementwise import UNFOLLOWED

DATA = pd.Series([1.0, 2.0])
CONFIG = types.SimpleNamespace(table=DATA, unused=pd.Series([3.0, 4.0]))
settings = types.ModuleType("settings")
settings.table = DATA
settings.other = pd.Series([5.0, 6.0])


def _reads_global(v):
    return v * DATA.mean()


def _reads_module(v):
    return v * settings.table.mean()


def _calls_helper(v):
    return _reads_global(v) + 1


def _weighted(v, weights=DATA):
    return v * weights.sum()


class _Scaler:
    default = DATA  # read as ``self.default``: class-level data

    def __init__(self, by):
        self.by = by

    def __call__(self, v):
        return v / self.by.max()

    def scale(self, v):
        return v / self.by.max()


class _Defaulted(_Scaler):
    def scale(self, v):
        return v / self.default.max()


def _closing_over(data):
    return lambda v: v - data[0]


@pytest.mark.parametrize(
    "func",
    [
        _closing_over(DATA),
        _reads_global,
        _reads_module,
        _calls_helper,
        _weighted,
        functools.partial(np.add, DATA),
        _Scaler(DATA),
        _Scaler(DATA).scale,
        _Defaulted(None).scale,
        {1: DATA}.get,
        lambda v: v * CONFIG.table.mean(),
    ],
    ids=[
        "closure",
        "global",
        "module_attribute",
        "through_a_helper",
        "default",
        "partial",
        "callable_object",
        "bound_method",
        "class_attribute",
        "builtin_bound_method",
        "attribute_chain",
    ],
)
def test_what_a_function_can_read_is_found(func):
    assert any(found is DATA for found in _closures.referenced(func))


def test_only_what_the_code_names_of_a_module_counts():
    assert not any(found is settings.other for found in _closures.referenced(_reads_module))


def test_library_code_is_not_opened():
    assert _closures.referenced(np.mean) == [] and _closures.referenced(pd.isna) == []


def test_a_reach_too_large_to_follow_reads_unknown(monkeypatch):
    monkeypatch.setattr(_closures, "MOST_OBJECTS", 50)
    table = {k: [k] for k in range(100)}
    assert UNFOLLOWED in _closures.referenced(lambda v: table[v])
