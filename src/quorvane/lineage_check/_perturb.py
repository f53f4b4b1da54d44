"""Seeded perturbations of one source column: each keeps the rows and changes the values."""

from __future__ import annotations

from collections.abc import Iterator, Sequence

import numpy as np
import pandas as pd

#: Every kind of perturbation, in the order they are tried.
KINDS = ("permute", "redraw", "flip", "noise")

#: A column with at most this many distinct values is treated as categorical: it is
#: flipped to another of its own values rather than given noise, which would invent values
#: a categorical pipeline has never seen (a 2 in a 0/1 flag).
FEW_VALUES = 12

#: Noise is this share of the column's standard deviation: small enough to keep values
#: plausible, large enough to survive the comparison's rounding tolerance.
NOISE_SHARE = 0.01


def perturbations(
    column: pd.Series, kinds: Sequence[str], rng: np.random.Generator
) -> Iterator[tuple[str, pd.Series]]:
    """The perturbed versions of ``column`` that apply to it, each with its kind."""
    distinct = column.nunique(dropna=True)
    for kind in kinds:
        if kind == "permute":
            yield kind, _moved(column, rng.permutation(len(column)))
        elif kind == "redraw":
            yield kind, _moved(column, rng.integers(0, len(column), len(column)))
        elif kind == "flip" and 2 <= distinct <= FEW_VALUES:
            yield kind, _flipped(column, int(rng.integers(1, distinct)))
        elif kind == "noise" and _numeric(column) and distinct > FEW_VALUES:
            yield kind, _noisy(column, rng)


def check_kinds(kinds: Sequence[str]) -> tuple[str, ...]:
    unknown = [kind for kind in kinds if kind not in KINDS]
    if unknown or not kinds:
        raise ValueError(f"perturbations are chosen among {KINDS}, not {list(kinds)}")
    return tuple(kinds)


def _moved(column: pd.Series, positions: np.ndarray) -> pd.Series:
    """Values taken from other rows: the column's distribution, the rows' link broken."""
    return column.iloc[positions].set_axis(column.index)


def _flipped(column: pd.Series, shift: int) -> pd.Series:
    """Every present value replaced by another value of the column (0 and 1 swap)."""
    codes, uniques = pd.factorize(column, sort=True)
    present = codes >= 0
    new_codes = np.where(present, (codes + shift) % len(uniques), -1)
    values = pd.api.extensions.take(uniques, new_codes, allow_fill=True)
    return pd.Series(values, index=column.index, name=column.name).astype(column.dtype)


def _numeric(column: pd.Series) -> bool:
    dtype = column.dtype
    return pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype)


def _noisy(column: pd.Series, rng: np.random.Generator) -> pd.Series:
    n = len(column)
    if pd.api.types.is_integer_dtype(column.dtype):
        # a step of one keeps the column integer, so lookups and casts still work
        return column + rng.choice(np.array([-1, 1], dtype=np.int64), n)
    spread = float(column.std())
    scale = spread if np.isfinite(spread) and spread > 0 else 1.0
    return column + rng.normal(0.0, NOISE_SHARE * scale, n)
