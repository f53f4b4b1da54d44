"""A small credit pipeline in plain pandas, and its element log as the DAG road logs it.

``score`` holds its group aggregates fixed when ``held`` gives them: that is the replay's
assumption (an aggregate over other applicants keeps its recorded value), so the pandas
rerun of a what-if computes them from the original table.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

import quorvane as qv
from quorvane.replay import LogGroups, WhatIf, answer, replay

from .logs import LogBuilder, lineage

THRESHOLD = 560.0


def pipeline(df: pd.DataFrame, held: pd.Series | None = None, custom: bool = False):
    """(score, approved) as an analyst writes them; ``held``: the married groups' mean
    wages of the original table, kept when an applicant's attribute changes."""
    wage = df["wage"].fillna(400.0)
    base = wage.clip(0.0, 1000.0)
    age = np.where(df["old"] == 1, -10.0, 0.0)
    if held is None:
        married_mean = wage.groupby(df["married"]).transform("mean")
    else:
        married_mean = df["married"].map(held)
    wed = df["married"].apply(lambda m: 30 if m else 0) if custom else df["married"] * 20
    score = base * 0.5 + wed + age + married_mean * 0.1
    return score.rename("score"), (score >= THRESHOLD).rename("approved")


def married_means(df: pd.DataFrame) -> pd.Series:
    return df["wage"].fillna(400.0).groupby(df["married"]).mean()


def tracked(df: pd.DataFrame, custom: bool = False) -> tuple:
    """The pipeline on the DAG road: (tracker, its results by name)."""
    tracker = qv.DAGTracker()
    frame = qv.wrap(df, tracker, "applicants", protected=["married", "old"])
    score, approved = pipeline(frame, custom=custom)
    return tracker, {"score": score, "approved": approved}


def applicants(n: int = 0) -> pd.DataFrame:
    """Six applicants, or ``n`` drawn at random (seeded)."""
    if n:
        rng = np.random.default_rng(7)
        wage = rng.normal(900, 250, n).round()
        wage[rng.random(n) < 0.1] = np.nan
        return pd.DataFrame(
            {
                "married": rng.integers(0, 2, n),
                "old": rng.integers(0, 2, n),
                "wage": wage,
                "region": rng.choice(["n", "s"], n),
            },
            index=pd.Index([f"LA-{i:04d}" for i in range(1, n + 1)], name="key"),
        )
    return pd.DataFrame(
        {
            "married": [1, 0, 1, 0, 1, 0],
            "old": [0, 1, 1, 0, 0, 1],
            "wage": [900.0, np.nan, 700.0, 1300.0, 480.0, 610.0],
            "region": ["n", "s", "n", "s", "s", "n"],
        },
        index=pd.Index([f"LA-{i:04d}" for i in range(1, 7)], name="key"),
    )


def steps(df: pd.DataFrame, held: dict | None = None, custom: bool = False) -> dict:
    """Every intermediate column of the pipeline, by name."""
    s: dict = {}
    s["wage"] = df.wage.fillna(400.0)
    s["base"] = s["wage"].clip(0.0, 1000.0)
    s["half"] = s["base"] * 0.5
    s["wed"] = df.married.apply(lambda m: 30 if m else 0) if custom else df.married * 20
    s["is_old"] = df.old == 1
    s["age"] = pd.Series(np.where(s["is_old"], -10.0, 0.0), index=df.index)
    by_married = held["married"] if held else s["wage"].groupby(df.married).mean()
    by_region = held["region"] if held else s["base"].groupby(df.region).mean()
    s["married_mean"] = df.married.map(by_married)
    s["region_mean"] = df.region.map(by_region)
    s["a"] = s["half"] + s["wed"]
    s["b"] = s["a"] + s["age"]
    s["c"] = s["married_mean"] * 0.1
    s["d"] = s["region_mean"] * 0.05
    s["e"] = s["b"] + s["c"]
    s["score"] = s["e"] + s["d"]
    s["approved"] = s["score"] >= THRESHOLD
    return s


def held_aggregates(df: pd.DataFrame) -> dict:
    wage = df.wage.fillna(400.0)
    return {
        "married": wage.groupby(df.married).mean(),
        "region": wage.clip(0.0, 1000.0).groupby(df.region).mean(),
    }


def logged(df: pd.DataFrame, custom: bool = False):
    """The element log of ``steps(df)``: each node with the value pandas computed."""
    s = steps(df, custom=custom)
    b = LogBuilder(list(df.index))
    married = b.source("applicants", "married", df.married, protected=True)
    old = b.source("applicants", "old", df.old, protected=True)
    wage_in = b.source("applicants", "wage", df.wage)
    region = b.source("applicants", "region", df.region)
    wage = b.each("UNARY", "fillna", s["wage"], wage_in, b.constant(400.0))
    base = b.each("UNARY", "clip", s["base"], wage, b.constant(0.0), b.constant(1000.0))
    half = b.each("BINARY", "mul", s["half"], base, b.constant(0.5))
    if custom:
        wed = b.each("CUSTOM", "apply", s["wed"], married)
    else:
        wed = b.each("BINARY", "mul", s["wed"], married, b.constant(20))
    is_old = b.each("BINARY", "eq", s["is_old"], old, b.constant(1))
    age = b.each("CUSTOM", "where", s["age"], is_old, b.constant(-10.0), b.constant(0.0))
    married_mean = b.grouped("mean", df.married, s["married_mean"], wage, married)
    region_mean = b.grouped("mean", df.region, s["region_mean"], base, region)
    a = b.each("BINARY", "add", s["a"], half, wed)
    bb = b.each("BINARY", "add", s["b"], a, age)
    c = b.each("BINARY", "mul", s["c"], married_mean, b.constant(0.1))
    d = b.each("BINARY", "mul", s["d"], region_mean, b.constant(0.05))
    e = b.each("BINARY", "add", s["e"], bb, c)
    score = b.each("BINARY", "add", s["score"], e, d)
    approved = b.each("BINARY", "ge", s["approved"], score, b.constant(THRESHOLD))
    b.result("score", score)
    b.result("approved", approved)
    return b.log()


def replayed(log, key: str, changes: dict) -> WhatIf:
    """The what-if of ``key``'s decision replayed from ``log``, with its score."""
    keys, nodes = log.results["score"]
    score = ("score", int(nodes[list(keys).index(key)]))
    lineage_of = lineage(log, "approved", key)
    return answer(replay(lineage_of, changes, LogGroups(log)), "approved", changes, score)
